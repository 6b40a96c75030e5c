#include "install/inherited_security.h"

#include "core/guards.h"
#include "core/held_folder.h"

#include <aclapi.h>

namespace qv {
namespace {

constexpr SECURITY_INFORMATION kParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

SecurityDescriptor copied(PSECURITY_DESCRIPTOR descriptor) {
    const auto* bytes = static_cast<const std::byte*>(descriptor);
    return SecurityDescriptor(bytes, bytes + ::GetSecurityDescriptorLength(descriptor));
}

void destroyPrivateSecurity(PSECURITY_DESCRIPTOR descriptor) {
    ::DestroyPrivateObjectSecurity(&descriptor);
}
using PrivateSecurity = UniqueResource<PSECURITY_DESCRIPTOR, destroyPrivateSecurity>;

} // namespace

DWORD readFolderSecurity(HANDLE folder, SecurityDescriptor& descriptor) {
    descriptor.clear();
    if (!keepsAccessRules(folder)) {
        return ERROR_SUCCESS;
    }
    // The held handle carries no READ_CONTROL; a second one to the very same folder does.
    const HANDLE reopened =
        ::ReOpenFile(folder, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     FILE_FLAG_BACKUP_SEMANTICS /* a folder */);
    if (reopened == INVALID_HANDLE_VALUE) {
        return ::GetLastError();
    }
    const UniqueFile readable(reopened);
    PSECURITY_DESCRIPTOR read = nullptr;
    const DWORD error =
        ::GetSecurityInfo(readable.get(), SE_FILE_OBJECT, kParts, nullptr /* owner */,
                          nullptr /* group */, nullptr /* DACL */, nullptr /* SACL */, &read);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    const UniqueLocalMemory owned(read);
    descriptor = copied(read);
    return ERROR_SUCCESS;
}

DWORD inheritedSecurity(const SecurityDescriptor& parent, bool folder,
                        SecurityDescriptor& descriptor) {
    descriptor.clear();
    if (parent.empty()) {
        return ERROR_SUCCESS;
    }
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return ::GetLastError();
    }
    const UniqueResource<HANDLE, closeKernelHandle> ownToken(token);
    GENERIC_MAPPING fileRights = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                  FILE_ALL_ACCESS};
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!::CreatePrivateObjectSecurityEx(
            const_cast<std::byte*>(parent.data()), nullptr /* no rules of its own */, &made,
            nullptr /* no object type */, folder ? TRUE : FALSE,
            SEF_DACL_AUTO_INHERIT | SEF_AVOID_OWNER_CHECK | SEF_AVOID_PRIVILEGE_CHECK, token,
            &fileRights)) {
        return ::GetLastError();
    }
    const PrivateSecurity owned(made);
    descriptor = copied(made);
    return ERROR_SUCCESS;
}

} // namespace qv
