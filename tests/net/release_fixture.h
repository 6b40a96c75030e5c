#pragma once
// What the download tests share: the loopback release server that tests/support/
// with_release_server.py started (its bases and its folder come in the environment), a fresh
// work folder per test, and the console streams captured.

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace qv::test {

// The tag on every line the download tests' transfers print.
extern const std::wstring kNetTag;

// The message downloadFile(url, target, kNetTag) fails with, or "<no failure>".
std::string downloadFailure(const std::wstring& url, const std::filesystem::path& target);

void writeBytes(const std::filesystem::path& path, const std::string& bytes);

// Equal byte strings; a failure names the sizes and the first difference, not the bytes.
::testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected);

// Bytes that differ from position to position, so a shifted or cut copy never matches.
std::string patternBytes(std::size_t size, unsigned seed);

class ReleaseServerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // "<base>/<path>" on the server's http or https side.
    std::wstring httpUrl(const std::wstring& path) const { return httpBase_ + path; }
    std::wstring httpsUrl(const std::wstring& path) const { return httpsBase_ + path; }
    const std::wstring& httpBase() const { return httpBase_; }

    // Puts a file into the served folder; returns its URL path ("/<name>").
    std::wstring publish(const std::string& name, const std::string& bytes);

    // A query value that makes each test's URLs its own (the server counts per URL).
    std::wstring uniqueId() const;

    std::filesystem::path target() const { return work_ / L"Quorvalent-update.zip"; }
    std::filesystem::path partial() const { return work_ / L"Quorvalent-update.zip.part"; }

    ConsoleCapture console_;

private:
    std::wstring httpBase_;
    std::wstring httpsBase_;
    std::filesystem::path root_;
    std::filesystem::path work_;
};

} // namespace qv::test
