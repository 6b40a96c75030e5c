#include "flows/runtime_setup.h"

#include "console/console_output.h"
#include "core/directory_walk.h"
#include "core/errors.h"
#include "core/guards.h"
#include "core/release_config.h"
#include "net/download_and_verify.h"
#include "shell/shell_extraction.h"

#include <windows.h>
#include <shellapi.h>

#include <iostream>
#include <system_error>

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
} // namespace text

// The installer is a 32-bit program, where the launch record is 60 bytes.
static_assert(sizeof(SHELLEXECUTEINFOW) == (sizeof(void*) == 4 ? 60 : 112), "unexpected SHELLEXECUTEINFOW layout");

// An unreadable location (access denied, malformed path) counts as no runtime there.
bool fileExists(const wchar_t* path) {
    std::error_code error;
    return fs::exists(fs::path(path), error) && !error;
}

} // namespace

bool isPrerequisiteRuntimePresent() {
    return fileExists(runtime::kDetectionPath32) || fileExists(runtime::kDetectionPath64);
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

void runSetupAndWait(const fs::path& setupProgram) {
    const fs::path folder = setupProgram.parent_path();
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;
    info.lpVerb = nullptr /* the default verb */;
    info.lpFile = setupProgram.c_str();
    info.lpParameters = nullptr;
    info.lpDirectory = folder.c_str();
    info.nShow = SW_SHOWNORMAL;
    const BOOL launched = ::ShellExecuteExW(&info);
    const DWORD launchError = ::GetLastError();
    check(launched != FALSE, text::kLaunchFailurePrefix + windowsErrorText(launchError));

    // Some launches (a document handed to a running program) yield no process to wait for.
    if (info.hProcess == nullptr) {
        return;
    }
    const UniqueProcessHandle process(info.hProcess);

    // No time limit: the person at the machine decides how long the setup window stays open.
    unsigned long seconds = 0;
    while (::WaitForSingleObject(process.get(), 1000) == WAIT_TIMEOUT) {
        ++seconds;
        printProgress(text::kTag, std::wstring(text::kWaitingText) + std::to_wstring(seconds) +
                                      L" giây          ");
    }
    printProgressEnd(text::kTag, text::kClosedText, 22);
}

void ensurePrerequisiteRuntime(const fs::path& workFolder, const std::wstring& packageUrl) {
    printStepHeader(7, text::kCheckTitle, false);
    if (isPrerequisiteRuntimePresent()) {
        std::wcout << text::kPresentLine;
        printStepHeader(8, text::kDownloadTitle, true);
        printStepHeader(9, text::kRunTitle, true);
        return;
    }
    std::wcout << text::kMissingLine;

    printStepHeader(8, text::kDownloadTitle, false);
    const fs::path package = workFolder / runtime::kPackageFile;
    const ZipSummary summary = downloadAndVerify(packageUrl, package, text::kTag);

    printStepHeader(9, text::kRunTitle, false);
    const fs::path extracted = workFolder / runtime::kExtractionFolder;
    extractZipWithShell(package, extracted, summary, text::kTag);
    const fs::path setup = findFileByName(extracted, runtime::kSetupFile);
    check(!setup.empty(), text::kMissingSetupMessage);
    std::wcout << text::kOpeningLine;
    runSetupAndWait(setup);
}

} // namespace qv
