#include "install/update/run_folder_owner.h"

#include "core/handle_calls.h"
#include "core/system_places.h"
#include "core/work_folder.h"

#include <aclapi.h>

#include <string>

namespace qv {
namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

SidBytes ownerOf(HANDLE entry) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(entry, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                          nullptr /* group */, nullptr /* DACL */, nullptr /* SACL */,
                          &descriptor) != ERROR_SUCCESS) {
        return {};
    }
    const UniqueLocalMemory held(descriptor);
    if (owner == nullptr || !::IsValidSid(owner)) {
        return {};
    }
    const BYTE* first = static_cast<const BYTE*>(owner);
    return SidBytes(first, first + ::GetLengthSid(owner));
}

} // namespace

SidBytes ownerGivenToNewEntries(HANDLE folder) {
    try {
        // Deleted as its handle closes, also when the process is ended meanwhile.
        const std::wstring name =
            L"owner-probe-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + randomSuffix();
        const RelativeOpen probe =
            openRelative(folder, name, READ_CONTROL | DELETE, 0 /* no sharing */, FILE_CREATE,
                         FILE_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE);
        return probe.file ? ownerOf(probe.file.get()) : SidBytes();
    } catch (...) {
        return {}; // no memory, or no source of random numbers: nobody's
    }
}

SidBytes ownerOfChild(HANDLE folder, std::wstring_view name) {
    const RelativeOpen entry = openRelative(folder, name, READ_CONTROL, kShareAll, FILE_OPEN, 0);
    return entry.file ? ownerOf(entry.file.get()) : SidBytes();
}

bool ownedByCreator(const SidBytes& owner, const SidBytes& creator) {
    return !owner.empty() && owner == creator;
}

} // namespace qv
