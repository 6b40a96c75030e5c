#include "core/install_log.h"
#include "core/run_context.h"
#include "core/scoped_folder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <shlobj.h>
#include <stdexcept>

namespace qv {
namespace {

namespace fs = std::filesystem;

TEST(WorkDirectory, NameAndPlace) {
    EXPECT_EQ(workDirectoryName(4242, 123456789012ULL),
              L"QuorvalentInstallerNative-4242-123456789012");
    const fs::path folder = createWorkDirectory();
    ScopedFolder guard(folder);
    EXPECT_TRUE(fs::is_directory(folder));
    const std::wstring prefix =
        L"QuorvalentInstallerNative-" + std::to_wstring(GetCurrentProcessId()) + L"-";
    EXPECT_EQ(folder.filename().wstring().rfind(prefix, 0), 0u) << folder.string();
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    EXPECT_EQ(folder, fs::path(temp) / folder.filename());
}

TEST(ScopedFolderGuard, RemovesTreeWhenAnExceptionLeavesTheScope) {
    const fs::path folder = createWorkDirectory();
    try {
        ScopedFolder guard(folder);
        fs::create_directories(folder / L"nested" / L"thư mục");
        std::ofstream(folder / L"nested" / L"file.bin") << "data";
        throw std::runtime_error("boom");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(fs::exists(folder));
}

TEST(ProgramAndSpecialFolders, Resolve) {
    EXPECT_EQ(programPath().extension(), L".exe");
    EXPECT_TRUE(fs::exists(programPath()));
    const fs::path log = logFilePath();
    EXPECT_EQ(log.filename(), L"Installer-Native.log");
    EXPECT_EQ(log.parent_path().filename(), L"Quorvalent");
    EXPECT_EQ(log.parent_path().parent_path(), specialFolderPath(CSIDL_COMMON_APPDATA));
}

TEST(InstallLog, TimeStampFormat) {
    SYSTEMTIME time{};
    time.wYear = 2025;
    time.wMonth = 3;
    time.wDay = 7;
    time.wHour = 9;
    time.wMinute = 5;
    time.wSecond = 3;
    EXPECT_EQ(formatLogLine(time, "LỖI: x"), "2025-03-07 09:05:03 LỖI: x");
}

TEST(InstallLog, AppendsUtf8LineWithCrLf) {
    const fs::path log = logFilePath();
    std::error_code ignored;
    const auto before = fs::exists(log) ? fs::file_size(log) : 0;
    writeLog("LỖI: Không tải được gói");
    std::ifstream in(log, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GT(content.size(), before);
    const std::string added = content.substr(before);
    EXPECT_TRUE(std::regex_match(
        added, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d "
                          "L\xe1\xbb\x96I: Kh\xc3\xb4ng t\xe1\xba\xa3i \xc4\x91\xc6\xb0\xe1\xbb"
                          "\xa3\x63 g\xc3\xb3i\r\n")))
        << added;
}

} // namespace
} // namespace qv
