#include "core/installer_mutex.h"

#include "core/errors.h"

#include <sddl.h>
#include <winternl.h>

#include <stdexcept>

namespace qv {
namespace {

using CreateDirectoryObjectFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
using CreateMutantFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, BOOLEAN);

// DIRECTORY_QUERY | DIRECTORY_TRAVERSE | DIRECTORY_CREATE_OBJECT, and MUTANT_ALL_ACCESS.
constexpr ACCESS_MASK kFolderAccess = 0x0007;
constexpr ACCESS_MASK kMutexAccess = 0x1F0001;

// ntdll is in every process from its first instruction; its exports are looked up, not
// imported, so the program's import table stays what it was.
template <typename Function> Function nativeCall(const char* name) {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll == nullptr
               ? nullptr
               : reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(ntdll, name)));
}

// Opens the object `name` below `root` (or at the namespace's root), made when missing with
// `rules`, through `create`.
template <typename Create, typename... Extra>
HANDLE createOrOpen(Create create, HANDLE root, const wchar_t* name, PSECURITY_DESCRIPTOR rules,
                    ACCESS_MASK access, Extra... extra) {
    UNICODE_STRING objectName;
    objectName.Buffer = const_cast<wchar_t*>(name);
    objectName.Length = static_cast<USHORT>(::lstrlenW(name) * sizeof(wchar_t));
    objectName.MaximumLength = objectName.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, OBJ_OPENIF, root, rules);
    HANDLE opened = nullptr;
    return create != nullptr && NT_SUCCESS(create(&opened, access, &attributes, extra...))
               ? opened
               : nullptr;
}

} // namespace

const wchar_t kInstallerObjectFolder[] = L"\\QuorvalentInstallerNative";
const wchar_t kInstallerMutexName[] = L"OneRunAtATime";

InstallerMutex openInstallerMutex(const wchar_t* name) {
    InstallerMutex opened;
    PSECURITY_DESCRIPTOR rules = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1, &rules, nullptr /* size */)) {
        return opened;
    }
    const UniqueLocalMemory ownRules(rules);
    // The mutex carries the folder's rules too: a name is opened without a check of the folders
    // on its way for anyone who may bypass traverse checking, which is every user.
    opened.folder.reset(
        createOrOpen(nativeCall<CreateDirectoryObjectFunction>("NtCreateDirectoryObject"), nullptr,
                     kInstallerObjectFolder, rules, kFolderAccess));
    if (opened.folder) {
        opened.mutex.reset(createOrOpen(nativeCall<CreateMutantFunction>("NtCreateMutant"),
                                        opened.folder.get(), name, rules, kMutexAccess,
                                        FALSE /* not owned */));
    }
    return opened;
}

HeldMutex holdInstallerMutex(const wchar_t* name) {
    const char* const busy = "Một trình cài đặt Quorvalent khác đang chạy.";
    // Not owned on creation: the wait below also takes over a mutex that a dead run left.
    InstallerMutex opened = openInstallerMutex(name);
    // A folder or name this process may not make or open, or one taken by another kind of
    // object, leaves no way to keep other runs out.
    check(opened.folder && opened.mutex, busy);
    const DWORD waited = ::WaitForSingleObject(opened.mutex.get(), 0 /* no wait */);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        throw std::runtime_error(busy);
    }
    return HeldMutex(std::move(opened));
}

} // namespace qv
