#pragma once
// Helpers the file-handling tests share: a temporary folder per test, whole-file reads and
// writes, and a capture of the wide console stream.

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
    TempFolder() {
        static std::atomic<unsigned> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                (L"qv-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                 std::to_wstring(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& child) const {
        return path_ / child;
    }

private:
    std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Everything written to std::wcout while it lives, kept as wide text.
class ConsoleCapture {
public:
    ConsoleCapture() : previous_(std::wcout.rdbuf(text_.rdbuf())) { std::wcout.clear(); }
    ~ConsoleCapture() {
        std::wcout.rdbuf(previous_);
        std::wcout.clear();
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::wstring text() const { return text_.str(); }

private:
    std::wostringstream text_;
    std::wstreambuf* previous_;
};

} // namespace qv::test
