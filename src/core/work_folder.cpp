#include "core/work_folder.h"

#include "core/errors.h"
#include "core/guards.h"
#include "core/held_folder.h"

#include <windows.h>
#include <sddl.h>

namespace qv {

const wchar_t kWorkFolderPrefix[] = L"QuorvalentInstallerNative-";

std::wstring workDirectoryName(unsigned long processId, unsigned long long tickCount) {
    return kWorkFolderPrefix + decimalText(processId) + L"-" + decimalText(tickCount);
}

const wchar_t kWorkFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

UniqueLocalMemory workFolderSecurityDescriptor() {
    PSECURITY_DESCRIPTOR built = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kWorkFolderSddl, SDDL_REVISION_1,
                                                                &built, nullptr /* size */)) {
        return UniqueLocalMemory();
    }
    return UniqueLocalMemory(built);
}

namespace {

const char kWorkFolderFailure[] = "Không tạo được thư mục làm việc.";
constexpr int kWorkFolderAttempts = 5; // names tried before the run gives up

} // namespace

ScopedFolder createWorkDirectoryAt(const std::filesystem::path& temp, const std::wstring& name) {
    // TEMP comes from the user's own settings: a missing one is not created wherever it points,
    // and one on a volume without access rules, or on a share (whose server may change any
    // file whatever its rules say), would make the work folder's rules void.
    HoldResult parent = holdFolderAt(temp);
    check(parent.status == HoldStatus::Held && keepsAccessRules(parent.folder.handle()) &&
              isOnLocalDisk(temp, parent.folder.handle()),
          kWorkFolderFailure);
    const UniqueLocalMemory descriptor = workFolderSecurityDescriptor();
    check(static_cast<bool>(descriptor), kWorkFolderFailure);

    // Held without DELETE access: the downloads are renamed into it by path.
    HoldResult made =
        createUniqueChildFolder(parent.folder, name, descriptor.get(), kWorkFolderAttempts);
    check(made.status == HoldStatus::Held, kWorkFolderFailure);
    return ScopedFolder(std::move(parent.folder), std::move(made.folder));
}

std::filesystem::path createFolderInWorkFolder(const std::filesystem::path& workFolder,
                                               const std::wstring& name) {
    const UniqueLocalMemory descriptor = workFolderSecurityDescriptor();
    check(static_cast<bool>(descriptor), kWorkFolderFailure);
    const HoldResult work = holdFolderAt(workFolder);
    check(work.status == HoldStatus::Held &&
              holdChildFolder(work.folder, name, HoldMode::CreateNew, descriptor.get()).status ==
                  HoldStatus::Held,
          kWorkFolderFailure);
    return workFolder / name;
}

ScopedFolder createWorkDirectory() {
    wchar_t temp[MAX_PATH] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH, temp);
    check(length >= 1 && length < MAX_PATH, "Không đọc được thư mục TEMP.");

    const unsigned long long ticks = ::GetTickCount64();
    const unsigned long processId = ::GetCurrentProcessId();
    return createWorkDirectoryAt(std::filesystem::path(std::wstring(temp, length)),
                                 workDirectoryName(processId, ticks));
}

} // namespace qv
