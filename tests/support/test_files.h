#pragma once
// Helpers the file-handling tests share: a temporary folder per test, whole-file reads and
// writes, and a capture of the wide console stream.

#include "console/console_writer.h"
#include "core/scoped_folder.h"

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

namespace qv::test {

// A fresh folder in the system's temporary folder, removed with its contents at scope end.
class TempFolder {
public:
    TempFolder() : folder_(freshPath()) { std::filesystem::create_directories(folder_.path()); }

    const std::filesystem::path& path() const { return folder_.path(); }
    std::filesystem::path operator/(const std::filesystem::path& child) const {
        return folder_.path() / child;
    }

private:
    static std::filesystem::path freshPath() {
        static std::atomic<unsigned> counter{0};
        const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                           (L"qv-test-" + std::to_wstring(::GetCurrentProcessId()) +
                                            L"-" + std::to_wstring(counter++));
        std::filesystem::remove_all(path);
        return path;
    }

    ScopedFolder folder_;
};

// An environment variable's value, or an empty text when it is not set.
inline std::wstring environmentText(const wchar_t* name) {
    std::wstring value(32768, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(name, value.data(), 32768);
    value.resize(length < 32768 ? length : 0);
    return value;
}

inline void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Everything the run writes to the standard output (wide) and the standard error stream (UTF-8)
// while it lives, in the order written, std::wcout included.
class ConsoleCapture {
public:
    ConsoleCapture()
        : previousWriters_(
              replaceConsoleWriters({[this](const std::wstring& text) { out_ << text; },
                                     [this](const std::string& text) { err_ << text; }})),
          previousOut_(std::wcout.rdbuf(out_.rdbuf())),
          previousErr_(std::cerr.rdbuf(err_.rdbuf())) {
        std::wcout.clear();
    }
    ~ConsoleCapture() {
        replaceConsoleWriters(std::move(previousWriters_));
        std::wcout.rdbuf(previousOut_);
        std::cerr.rdbuf(previousErr_);
        std::wcout.clear();
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::wstring out() const { return out_.str(); }
    std::string err() const { return err_.str(); }

private:
    std::wostringstream out_;
    std::ostringstream err_;
    ConsoleWriters previousWriters_;
    std::wstreambuf* previousOut_;
    std::streambuf* previousErr_;
};

} // namespace qv::test
