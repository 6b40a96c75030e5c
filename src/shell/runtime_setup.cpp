#include "shell/runtime_setup.h"

#include "app/release_config.h"
#include "console/console_output.h"
#include "core/directory_walk.h"
#include "core/errors.h"
#include "core/guards.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <system_error>

namespace qv {

namespace fs = std::filesystem;

namespace {

// The installer is a 32-bit program, where the launch record is 60 bytes.
static_assert(sizeof(SHELLEXECUTEINFOW) == 60, "unexpected SHELLEXECUTEINFOW layout");

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
            ::_wcsicmp(std::wstring(entry.name).c_str(), fileName.c_str()) == 0) {
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
    check(launched != FALSE, runtime::kLaunchFailurePrefix + windowsErrorText(launchError));

    // Some launches (a document handed to a running program) yield no process to wait for.
    if (info.hProcess == nullptr) {
        return;
    }
    const UniqueProcessHandle process(info.hProcess);

    // No time limit: the person at the machine decides how long the setup window stays open.
    unsigned long seconds = 0;
    while (::WaitForSingleObject(process.get(), 1000) == WAIT_TIMEOUT) {
        ++seconds;
        printProgress(runtime::kTag, std::wstring(runtime::kWaitingText) +
                                         std::to_wstring(seconds) + L" giây          ");
    }
    printProgressEnd(runtime::kTag, runtime::kClosedText, 22);
}

} // namespace qv
