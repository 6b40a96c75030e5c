#include "core/errors.h"
#include "core/install_log.h"
#include "core/system_places.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <shlobj.h>
#include <vector>

namespace qv {
namespace {

namespace fs = std::filesystem;

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

// A second name for the log file would let the elevated append write wherever that name lives.
TEST(InstallLog, WritesNothingThroughASecondHardLink) {
    const fs::path log = logFilePath();
    writeLog("trước khi có liên kết");
    test::TempFolder outside;
    const fs::path other = outside / L"other-name.log";
    ASSERT_TRUE(CreateHardLinkW(other.c_str(), log.c_str(), nullptr));
    const std::string before = test::readFile(log);

    writeLog("qua liên kết cứng");
    EXPECT_EQ(test::readFile(log), before);

    ASSERT_TRUE(DeleteFileW(other.c_str()));
    writeLog("sau khi gỡ liên kết");
    EXPECT_GT(test::readFile(log).size(), before.size()) << "a file of its own is written again";
}

} // namespace
} // namespace qv
