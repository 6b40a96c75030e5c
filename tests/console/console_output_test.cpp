#include "console/console_output.h"
#include "console/error_output.h"
#include "console/progress_line.h"
#include "core/errors.h"
#include "core/system_places.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <clocale>
#include <cstdint>
#include <cwchar>
#include <sstream>

namespace qv {
namespace {

TEST(FormatByteSize, UnitsAndRounding) {
    const struct {
        std::uint64_t bytes;
        const wchar_t* text;
    } cases[] = {
        {0, L"0 B"},
        {1023, L"1023 B"},
        {1024, L"1.00 KB"},
        {1536, L"1.50 KB"},
        {1152, L"1.12 KB"},       // 1.125: a half goes to the even hundredth, here down
        {1408, L"1.38 KB"},       // 1.375: and here up
        {1048575, L"1024.00 KB"}, // rounds up but stays in its unit
        {1048576, L"1.00 MB"},
        {5368709120ULL, L"5.00 GB"},
        {1ULL << 40, L"1024.00 GB"}, // no unit above GB
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatByteSize(c.bytes), c.text) << c.bytes;
    }
}

TEST(FormatByteSize, KeepsThePointUnderACommaLocale) {
    const char* changed = std::setlocale(LC_ALL, "French_France.1252");
    EXPECT_EQ(formatByteSize(1536), L"1.50 KB");
    std::setlocale(LC_ALL, "C");
    if (changed == nullptr) {
        GTEST_SKIP() << "no French locale in this environment";
    }
}

TEST(FormatPercent, WidthThree) {
    EXPECT_EQ(formatPercent(0), L"  0");
    EXPECT_EQ(formatPercent(5), L"  5");
    EXPECT_EQ(formatPercent(42), L" 42");
    EXPECT_EQ(formatPercent(100), L"100");
}

// The download's line, with and without a known length, the speed last. (The extraction's and
// the copy's lines are checked whole in their own tests.)
TEST(ProgressText, TheDownloadLineShowsWhatIsKnown) {
    const std::wstring wipe(10, L' ');
    EXPECT_EQ(progressText(kDownloadLine, {42, 0, 0, 1536, 4096, 2048}),
              L"Đang tải  42% | 1.50 KB/4.00 KB | 2.00 KB/s" + wipe);
    EXPECT_EQ(progressText(kDownloadLine, {-1, 0, 0, 1536, 0, 512}),
              L"Đang tải 1.50 KB | 512 B/s" + wipe);
}

TEST(LinePrefixes, StatusAndProgress) {
    EXPECT_EQ(statusPrefix(L"Quorvalent"), L"    [Quorvalent] ");
    EXPECT_EQ(progressPrefix(L"Self-test"), L"\r    [Self-test] ");
}

// Error text on a console goes as wide characters (a byte write in code page 65001 breaks the
// stream on Windows 7); anywhere else as the same UTF-8 bytes as ever. This process has no
// console: the console half runs in a copy of it started with a window-less console of its own.
TEST(PrintError, WideCharactersToAConsoleTheSameBytesToAnythingElse) {
    const std::wstring wide = L"[Runtime] Lần tải 1 thất bại: ổ đĩa đầy";
    const std::string text = toUtf8(wide);
    std::ostringstream bytes;
    const auto redirected = [&bytes](const std::string& written) { bytes << written; };
    if (std::wcsstr(GetCommandLineW(), L"--own-console") == nullptr) {
        const HANDLE file =
            CreateFileW(L"NUL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        printError(text, file, redirected);
        CloseHandle(file);
        EXPECT_EQ(bytes.str(), text);

        std::wstring command =
            L"\"" + programPath().wstring() + L"\" --gtest_filter=PrintError.* --own-console";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION child{};
        ASSERT_TRUE(CreateProcessW(programPath().c_str(), command.data(), nullptr, nullptr, FALSE,
                                   CREATE_NO_WINDOW, nullptr, nullptr, &startup, &child));
        WaitForSingleObject(child.hProcess, INFINITE);
        DWORD exitCode = 1;
        GetExitCodeProcess(child.hProcess, &exitCode);
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
        EXPECT_EQ(exitCode, 0u) << "the console half failed";
        return;
    }
    const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO before{};
    ASSERT_TRUE(GetConsoleScreenBufferInfo(console, &before));
    printError(text, console, redirected);
    EXPECT_EQ(bytes.str(), "");
    std::wstring shown(wide.size(), L'\0');
    DWORD read = 0;
    ReadConsoleOutputCharacterW(console, shown.data(), static_cast<DWORD>(shown.size()),
                                before.dwCursorPosition, &read);
    EXPECT_EQ(toUtf8(shown), text);
}

} // namespace
} // namespace qv
