#include "core/system_library.h"

#include <string>

namespace qv {
namespace {

// From the Windows 8 SDK; Windows 7 has them with KB2533623.
constexpr DWORD kSearchSystem32 = 0x00000800; // LOAD_LIBRARY_SEARCH_SYSTEM32
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// Present on Windows 8 and later, and on Windows 7 with KB2533623; the same update makes
// LoadLibraryExW accept LOAD_LIBRARY_SEARCH_SYSTEM32.
SetDefaultDllDirectoriesFunction setDefaultDllDirectories() {
    return systemFunction<SetDefaultDllDirectoriesFunction>(L"kernel32.dll",
                                                            "SetDefaultDllDirectories");
}

} // namespace

void restrictDllSearchToSystemFolder() noexcept {
    if (const SetDefaultDllDirectoriesFunction restrict = setDefaultDllDirectories()) {
        restrict(kSearchSystem32);
    }
    // Also where the call above is missing: at least the current folder leaves the search.
    ::SetDllDirectoryW(L"");
}

HMODULE loadSystemLibrary(const wchar_t* fileName) noexcept {
    if (setDefaultDllDirectories() != nullptr) {
        return ::LoadLibraryExW(fileName, nullptr /* reserved */, kSearchSystem32);
    }
    // Without the search flags: a full path, and the DLL's own dependencies looked up from
    // its folder rather than from the program's.
    try {
        wchar_t folder[MAX_PATH] = {};
        const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) {
            return nullptr;
        }
        const std::wstring path = std::wstring(folder, length) + L"\\" + fileName;
        return ::LoadLibraryExW(path.c_str(), nullptr /* reserved */,
                                LOAD_WITH_ALTERED_SEARCH_PATH);
    } catch (...) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

} // namespace qv
