#include "net/release_fixture.h"

#include "net/download.h"

#include <windows.h>

#include <fstream>
#include <stdexcept>
#include <iterator>

namespace qv::test {

const std::wstring kNetTag = L"Net";

std::string downloadFailure(const std::wstring& url, const std::filesystem::path& target) {
    try {
        downloadFile(url, target, kNetTag);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "<no failure>";
}

void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << path.string();
}

::testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) {
        return ::testing::AssertionSuccess();
    }
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) {
        ++at;
    }
    return ::testing::AssertionFailure() << actual.size() << " bytes where " << expected.size()
                                         << " were expected; first difference at " << at;
}

std::string patternBytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

void ReleaseServerTest::SetUp() {
    httpBase_ = environmentText(L"QUORVALENT_TEST_HTTP_BASE");
    httpsBase_ = environmentText(L"QUORVALENT_TEST_HTTPS_BASE");
    root_ = environmentText(L"QUORVALENT_TEST_SERVER_ROOT");
    ASSERT_FALSE(httpBase_.empty() || httpsBase_.empty() || root_.empty())
        << "run through tests/support/with_release_server.py";

    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    for (char& c : name) {
        if (c == '/') {
            c = '-';
        }
    }
    work_ = std::filesystem::temp_directory_path() / ("quorvalent-net-" + name);
    std::filesystem::remove_all(work_);
    std::filesystem::create_directories(work_);
}

void ReleaseServerTest::TearDown() {
    std::error_code ignored;
    if (!HasFailure()) {
        std::filesystem::remove_all(work_, ignored);
    }
}

std::wstring ReleaseServerTest::publish(const std::string& name, const std::string& bytes) {
    writeBytes(root_ / name, bytes);
    return L"/" + std::filesystem::path(name).wstring();
}

std::wstring ReleaseServerTest::uniqueId() const {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::filesystem::path(std::string(info->test_suite_name()) + "." + info->name())
        .wstring();
}

} // namespace qv::test
