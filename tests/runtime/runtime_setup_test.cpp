#include "core/errors.h"
#include "core/release_config.h"
#include "core/scoped_folder.h"
#include "core/system_places.h"
#include "core/work_folder.h"
#include "flows/runtime_setup.h"
#include "support/failure_of.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qv {
namespace {

namespace fs = std::filesystem;

void touch(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << "x";
}

TEST(FindFileByName, MatchesRegularFilesIgnoringCaseAtAnyDepth) {
    const ScopedFolder root(createWorkDirectory());
    // A folder that bears the wanted name must not be taken for the program.
    fs::create_directories(root.path() / L"QuorvalentRuntimeSetup.exe");
    touch(root.path() / L"QuorvalentRuntimeSetup.exe" / L"readme.txt");
    const fs::path nested = root.path() / L"gói" / L"bin" / L"x86" / L"quorvalentruntimesetup.EXE";
    touch(nested);
    touch(root.path() / L"QuorvalentRuntimeSetup.exe.txt");

    struct Case {
        fs::path root;
        std::wstring name;
        fs::path expected;
    };
    const Case cases[] = {
        {root.path(), L"QuorvalentRuntimeSetup.exe", nested},
        {root.path(), L"QUORVALENTRUNTIMESETUP.EXE", nested},
        {root.path(), L"README.TXT", root.path() / L"QuorvalentRuntimeSetup.exe" / L"readme.txt"},
        {root.path(), L"QuorvalentRuntimeSetup", {}},
        {root.path(), L"BIN", {}}, // only a folder has that name
        {root.path(), L"absent.exe", {}},
        {root.path() / L"không có", L"QuorvalentRuntimeSetup.exe", {}},
        {nested, L"quorvalentruntimesetup.EXE", {}}, // a file is no folder to search
    };
    for (const Case& c : cases) {
        EXPECT_EQ(findFileByName(c.root, c.name), c.expected)
            << c.root.string() << " / " << toUtf8(c.name);
    }
}

// Creates the runtime's client program at one detection path and removes what it created.
class RuntimeInstalledAt {
public:
    explicit RuntimeInstalledAt(const fs::path& program) : folder_(program.parent_path()) {
        fs::create_directories(folder_);
        touch(program);
    }
    ~RuntimeInstalledAt() { fs::remove_all(folder_); }

private:
    fs::path folder_;
};

TEST(PrerequisiteRuntime, DetectedUnderEitherProgramFilesFolder) {
    // The prefix is shared: a test that installs the runtime must remove it again.
    ASSERT_FALSE(fs::exists(runtime::kDetectionPath32)) << "left behind by an earlier test";
    ASSERT_FALSE(fs::exists(runtime::kDetectionPath64)) << "left behind by an earlier test";
    EXPECT_FALSE(isPrerequisiteRuntimePresent());
    {
        const RuntimeInstalledAt installed(runtime::kDetectionPath64);
        EXPECT_TRUE(isPrerequisiteRuntimePresent());
    }
    EXPECT_FALSE(isPrerequisiteRuntimePresent());
    {
        const RuntimeInstalledAt installed(runtime::kDetectionPath32);
        EXPECT_TRUE(isPrerequisiteRuntimePresent());
    }
    EXPECT_FALSE(isPrerequisiteRuntimePresent());
    {
        // A folder by the program's name is no program.
        const RuntimeInstalledAt installed(fs::path(runtime::kDetectionPath32) / L"readme.txt");
        EXPECT_FALSE(isPrerequisiteRuntimePresent());
    }
}

// Launches a copy of the setup stand-in (built beside this test) from a folder of its own.
class RunSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(setup_.parent_path());
        fs::copy_file(programPath().parent_path() / L"QuorvalentRuntimeSetup.exe", setup_);
        SetEnvironmentVariableW(L"QUORVALENT_SETUP_MARKER", nullptr);
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"QUORVALENT_SETUP_SECONDS", nullptr);
        SetEnvironmentVariableW(L"QUORVALENT_SETUP_EXIT", nullptr);
    }

    // Runs the setup for the given time; returns what the wait wrote to std::wcout.
    std::wstring runFor(const wchar_t* seconds) {
        SetEnvironmentVariableW(L"QUORVALENT_SETUP_SECONDS", seconds);
        test::ConsoleCapture console;
        exitCode_ = runSetupAndWait(setup_, temp_);
        return console.out();
    }

    std::string marker() const { return test::readFile(fs::path(setup_.wstring() + L".marker")); }

    static std::wstring expectedOutput(int countdownLines) {
        std::wstring text;
        for (int second = 1; second <= countdownLines; ++second) {
            text += L"\r    [Runtime] Đang chờ trình cài đặt đóng... " + std::to_wstring(second) +
                    L" giây          ";
        }
        return text + L"\r    [Runtime] Trình cài đặt Quorvalent Runtime đã đóng." +
               std::wstring(22, L' ') + L"\n";
    }

    ScopedFolder work_{createWorkDirectory()};
    fs::path setup_ = work_.path() / L"Trình cài" / L"QuorvalentRuntimeSetup.exe";
    fs::path temp_ = createFolderInWorkFolder(work_.path(), L"tmp");
    std::optional<unsigned long> exitCode_;
};

TEST_F(RunSetupTest, CountsSecondsUntilTheSetupClosesAndHandlesMessagesMeanwhile) {
    SetEnvironmentVariableW(L"QUORVALENT_SETUP_EXIT", L"3221225477");
    // Another thread sends a window of this thread a message 300 ms into the wait, as a setup
    // broadcasts one: the send returns only once the waiting thread has handled it. Which came
    // first, the answer or the end of the wait, is counted, not timed.
    const HWND window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    std::atomic<int> events{0};
    int answered = 0;
    std::thread sender([&] {
        Sleep(300);
        DWORD_PTR ignored = 0;
        if (SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &ignored)) {
            answered = ++events;
        }
    });
    const std::wstring ownTemp = test::environmentText(L"TEMP");
    const std::wstring output = runFor(L"2.5");
    const int waitEnded = ++events;
    sender.join();
    DestroyWindow(window);
    EXPECT_NE(answered, 0) << "the message was never handled";
    EXPECT_LT(answered, waitEnded) << "handled during the wait, not after it";

    // The marker is written as the stand-in's last act, so the wait lasted to its end. The
    // stand-in was started as exactly that file, its quoted path alone on the command line,
    // with its own folder as the current directory, and the folder given as its TEMP and TMP;
    // the rest of its environment (how long to run) is this process's, whose own TEMP stays.
    const std::string temp = toUtf8(temp_.wstring());
    EXPECT_EQ(marker(), "program=" + toUtf8(setup_.wstring()) + "\r\ncommand=\"" +
                            toUtf8(setup_.wstring()) +
                            "\"\r\ndirectory=" + toUtf8(setup_.parent_path().wstring()) +
                            "\r\ntemp=" + temp + "\r\ntmp=" + temp + "\r\nseconds=2.5\r\n");
    EXPECT_EQ(test::environmentText(L"TEMP"), ownTemp);
    EXPECT_EQ(exitCode_, 3221225477ul);
    const auto lines = std::count(output.begin(), output.end(), L'\r') - 1;
    EXPECT_GE(lines, 2);
    EXPECT_EQ(output, expectedOutput(static_cast<int>(lines)));
}

TEST_F(RunSetupTest, SetupEndingWithinTheFirstSecondPrintsOnlyTheClosedLine) {
    EXPECT_EQ(runFor(L"0"), expectedOutput(0));
    EXPECT_NE(marker().find("\r\nseconds=0\r\n"), std::string::npos) << marker();
    EXPECT_EQ(exitCode_, 0ul);
}

TEST_F(RunSetupTest, LaunchFailureRaisesPrefixAndWindowsText) {
    const fs::path missing = setup_.parent_path() / L"không có.exe";
    const std::string message = test::failureOf([&] { runSetupAndWait(missing, temp_); });
    // The system's own text for a missing program, in the test prefix's English, and its code.
    EXPECT_EQ(message, "Không mở được trình cài đặt Quorvalent Runtime: File not found. (2)");
}

} // namespace
} // namespace qv
