#include "flows/runtime_setup.h"

#include "console/console_output.h"
#include "console/console_writer.h"
#include "core/directory_walk.h"
#include "core/errors.h"
#include "core/guards.h"
#include "core/handle_calls.h"
#include "core/release_config.h"
#include "core/thread_messages.h"
#include "core/work_folder.h"
#include "net/download_and_verify.h"
#include "shell/shell_extraction.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace qv {

namespace fs = std::filesystem;

namespace {

namespace text {
const wchar_t kTag[] = L"Runtime";
const wchar_t kCheckTitle[] = L"Kiểm tra Quorvalent Runtime";
const wchar_t kDownloadTitle[] = L"Tải và xác minh gói Quorvalent Runtime";
const wchar_t kRunTitle[] = L"Giải nén và chạy trình cài đặt Quorvalent Runtime";
const wchar_t kPresentLine[] = L"    [Runtime] Quorvalent Runtime đã được cài đặt.\n";
const wchar_t kMissingLine[] = L"    [Runtime] Chưa có Quorvalent Runtime, sẽ tải và cài đặt.\n";
const wchar_t kOpeningLine[] = L"    [Runtime] Đang mở trình cài đặt Quorvalent Runtime...\n";
const wchar_t kWaitingText[] = L"Đang chờ trình cài đặt đóng... ";
const wchar_t kClosedText[] = L"Trình cài đặt Quorvalent Runtime đã đóng.";
const char kLaunchFailurePrefix[] = "Không mở được trình cài đặt Quorvalent Runtime: ";
const char kMissingSetupMessage[] = "Gói Quorvalent Runtime không chứa QuorvalentRuntimeSetup.exe.";
const char kFailedSetupPrefix[] = "Trình cài đặt Quorvalent Runtime không thành công, mã thoát: ";
const char kStillMissingMessage[] =
    "Quorvalent Runtime vẫn chưa được cài đặt sau khi trình cài đặt đóng.";
const wchar_t kRestartLine[] =
    L"    [Runtime] Cần khởi động lại máy để hoàn tất cài đặt Quorvalent Runtime.\n";
} // namespace text

// How Windows setups report success: done, done but a restart is needed, done and a restart
// has been started.
constexpr unsigned long kSetupSucceeded = 0;
constexpr unsigned long kSetupNeedsRestart = 3010;
constexpr unsigned long kSetupStartedRestart = 1641;

// Only a regular file is the runtime's client program; a folder of that name is not. An
// unreadable location (access denied, malformed path) counts as no runtime there.
bool regularFileAt(const wchar_t* path) {
    std::error_code error;
    return fs::is_regular_file(fs::path(path), error) && !error;
}

// "=C:=C:\\..." keeps a drive's current folder: a name may start with "=".
std::wstring_view nameOf(std::wstring_view entry) {
    return entry.substr(0, entry.find(L'=', 1));
}

void freeEnvironmentBlock(wchar_t* block) {
    ::FreeEnvironmentStringsW(block);
}

// This process's environment with TEMP and TMP naming `folder`, as CreateProcessW takes it with
// CREATE_UNICODE_ENVIRONMENT: entries sorted by name, as Windows keeps them, each ending in a
// null, one more null at the end.
std::wstring environmentWithTemporaryFolder(const fs::path& folder) {
    const UniqueResource<wchar_t*, freeEnvironmentBlock> block(::GetEnvironmentStringsW());
    checkLastError(static_cast<bool>(block), text::kLaunchFailurePrefix);
    std::vector<std::wstring> entries;
    for (const wchar_t* entry = block.get(); *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        const std::wstring_view name = nameOf(entry);
        if (!samePathIgnoringCase(name, L"TEMP") && !samePathIgnoringCase(name, L"TMP")) {
            entries.emplace_back(entry);
        }
    }
    entries.push_back(L"TEMP=" + folder.native());
    entries.push_back(L"TMP=" + folder.native());
    // By name, as Windows wants the block; names equal but for case keep an order of their own
    // (the whole entry's), so the block is the same whatever order they came in.
    std::sort(entries.begin(), entries.end(),
              [](const std::wstring& left, const std::wstring& right) {
                  const std::wstring_view a = nameOf(left), b = nameOf(right);
                  const int order =
                      ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                             static_cast<int>(b.size()), TRUE /* ignore case */);
                  return order == CSTR_LESS_THAN || (order == CSTR_EQUAL && left < right);
              });
    std::wstring environment;
    for (const std::wstring& entry : entries) {
        environment += entry;
        environment += L'\0';
    }
    environment += L'\0';
    return environment;
}

void printCountdown(unsigned long seconds) {
    printProgress(text::kTag,
                  std::wstring(text::kWaitingText) + decimalText(seconds) + L" giây          ");
}

} // namespace

bool isPrerequisiteRuntimePresent() {
    return regularFileAt(runtime::kDetectionPath32) || regularFileAt(runtime::kDetectionPath64);
}

fs::path findFileByName(const fs::path& root, const std::wstring& fileName) {
    fs::path found;
    // A folder that cannot be listed is passed over; a link is never searched through, so the
    // program started with administrator rights is one that arrived inside this tree.
    walkDirectory(root, WalkOrder::FolderFirst, WalkErrors::Skip, [&](const WalkEntry& entry) {
        if (entry.isRegularFile() &&
            ::CompareStringOrdinal(entry.name.data(), static_cast<int>(entry.name.size()),
                                   fileName.data(), static_cast<int>(fileName.size()),
                                   TRUE /* ignore case, as file names compare */) == CSTR_EQUAL) {
            found = fs::path(std::wstring(entry.path));
            return false;
        }
        return true;
    });
    return found;
}

std::optional<unsigned long> runSetupAndWait(const fs::path& setupProgram,
                                             const fs::path& temporaryFolder) {
    const fs::path folder = setupProgram.parent_path();
    // The file itself, by its full path: nothing looks up how files of its kind are opened, so
    // no per-user association can put another program in its place. The command line is only
    // that path, quoted, in a buffer the call may write to.
    std::wstring commandLine = L"\"" + setupProgram.native() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    // Setups unpack their payload and helper DLLs into TEMP: the person's own TEMP would let any
    // program of theirs swap what runs as administrator.
    std::wstring environment = environmentWithTemporaryFolder(temporaryFolder);
    PROCESS_INFORMATION started{};
    const BOOL launched = ::CreateProcessW(
        setupProgram.c_str(), commandLine.data(), nullptr /* process security */,
        nullptr /* thread security */, FALSE /* inherit handles */,
        CREATE_NEW_CONSOLE /* a console setup gets its own window */ | CREATE_UNICODE_ENVIRONMENT,
        environment.data(), folder.c_str(), &startup, &started);
    checkLastError(launched != FALSE, text::kLaunchFailurePrefix);
    const UniqueProcessHandle process(started.hProcess);
    const UniqueHandle thread(started.hThread);

    // No time limit: the person at the machine decides how long the setup window stays open.
    // The slices end on whole seconds from the start, however many messages come in between.
    const HANDLE handle = process.get();
    unsigned long seconds = 0;
    ULONGLONG nextSecond = ::GetTickCount64() + 1000;
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD slice = now >= nextSecond ? 0 : static_cast<DWORD>(nextSecond - now);
        result = ::MsgWaitForMultipleObjects(1, &handle, FALSE, slice, QS_ALLINPUT);
        if (result == WAIT_OBJECT_0 + 1) {
            pumpThreadMessages();
        } else if (result == WAIT_TIMEOUT) {
            printCountdown(++seconds);
            nextSecond += 1000;
        } else {
            break; // the process ended, or the wait itself failed
        }
    }
    printProgressEnd(text::kTag, text::kClosedText, 22);

    DWORD exitCode = 0;
    if (result != WAIT_OBJECT_0 || !::GetExitCodeProcess(handle, &exitCode)) {
        return std::nullopt;
    }
    return exitCode;
}

void ensurePrerequisiteRuntime(const fs::path& workFolder, const std::wstring& packageUrl) {
    printStepHeader(7, text::kCheckTitle, false);
    if (isPrerequisiteRuntimePresent()) {
        printText(text::kPresentLine);
        printStepHeader(8, text::kDownloadTitle, true);
        printStepHeader(9, text::kRunTitle, true);
        return;
    }
    printText(text::kMissingLine);

    printStepHeader(8, text::kDownloadTitle, false);
    const fs::path package = workFolder / runtime::kPackageFile;
    const ZipSummary summary = downloadAndVerify(packageUrl, package, text::kTag);

    printStepHeader(9, text::kRunTitle, false);
    const fs::path extracted = workFolder / runtime::kExtractionFolder;
    extractZipWithShell(package, extracted, summary, text::kTag);
    const fs::path setup = findFileByName(extracted, runtime::kSetupFile);
    check(!setup.empty(), text::kMissingSetupMessage);
    const fs::path temporaryFolder = createFolderInWorkFolder(workFolder, L"tmp");
    printText(text::kOpeningLine);
    const std::optional<unsigned long> exitCode = runSetupAndWait(setup, temporaryFolder);

    // A setup that failed or was cancelled, or one that ended well without leaving the runtime
    // behind, leaves the application unable to start: the run must not end as a success.
    const bool present = isPrerequisiteRuntimePresent();
    if (exitCode) {
        check(*exitCode == kSetupSucceeded || *exitCode == kSetupNeedsRestart ||
                  *exitCode == kSetupStartedRestart,
              text::kFailedSetupPrefix + std::to_string(*exitCode));
    }
    check(present, text::kStillMissingMessage);
    if (exitCode == kSetupNeedsRestart || exitCode == kSetupStartedRestart) {
        printText(text::kRestartLine);
    }
}

} // namespace qv
