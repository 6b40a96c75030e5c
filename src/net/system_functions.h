#pragma once
// Function tables filled from a DLL of the system folder at run time (net/winhttp_api.h,
// net/crypt32_api.h). Neither DLL is a KnownDLL: as a static import, the loader would look for
// it beside the program first, and a planted copy would run inside the elevated installer
// before wmain.

#include "core/errors.h"
#include "core/system_library.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace qv {

// "Không nạp được thư viện hệ thống <fileName>: " + the system's text for code.
[[noreturn]] inline void throwSystemLibraryFailure(const char* fileName, DWORD code) {
    throwWindowsError(code, std::string("Không nạp được thư viện hệ thống ") + fileName + ": ");
}

// The system folder's fileName (ASCII), kept loaded until the process ends.
inline HMODULE loadSystemLibraryForGood(const char* fileName) {
    const std::wstring wide(fileName, fileName + std::strlen(fileName));
    const HMODULE library = loadSystemLibrary(wide.c_str());
    if (library == nullptr) {
        throwSystemLibraryFailure(fileName, ::GetLastError());
    }
    return library;
}

template <typename Function>
void bindSystemFunction(HMODULE library, const char* fileName, const char* name, Function& slot) {
    slot = systemFunction<Function>(library, name);
    if (slot == nullptr) {
        throwSystemLibraryFailure(fileName, ::GetLastError());
    }
}

} // namespace qv
