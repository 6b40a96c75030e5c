#include "core/work_folder.h"

#include "core/errors.h"
#include "core/guards.h"
#include "core/held_folder.h"

#include <windows.h>
#include <sddl.h>

#include <cstdint>
#include <random>

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

std::wstring randomSuffix() {
    std::random_device source;
    const auto bits = static_cast<std::uint32_t>(source());
    std::wstring digits(8, L'0');
    for (int index = 0; index < 8; ++index) {
        digits[index] = L"0123456789abcdef"[(bits >> (28 - 4 * index)) & 0xF];
    }
    return digits;
}

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

    std::wstring candidate = name;
    for (int attempt = 1;; ++attempt) {
        // Held without DELETE access: the downloads are renamed into it by path.
        HoldResult made = holdChildFolderWithoutDelete(parent.folder, candidate,
                                                       HoldMode::CreateNew, descriptor.get());
        if (made.status == HoldStatus::Held) {
            return ScopedFolder(std::move(parent.folder), std::move(made.folder));
        }
        check(made.status == HoldStatus::Exists && attempt < kWorkFolderAttempts,
              kWorkFolderFailure);
        candidate = name + L"-" + randomSuffix();
    }
}

std::filesystem::path createFolderInWorkFolder(const std::filesystem::path& workFolder,
                                               const std::wstring& name) {
    const UniqueLocalMemory descriptor = workFolderSecurityDescriptor();
    check(static_cast<bool>(descriptor), kWorkFolderFailure);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    const std::filesystem::path folder = workFolder / name;
    check(::CreateDirectoryW(folder.c_str(), &attributes) != FALSE, kWorkFolderFailure);
    return folder;
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
