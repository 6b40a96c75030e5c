#pragma once
// Function tables filled from a DLL of the system folder at run time (net/winhttp_api.h,
// net/crypt32_api.h). Neither DLL is a KnownDLL: as a static import, the loader would look for
// it beside the program first, and a planted copy would run inside the elevated installer
// before wmain.

#include "core/errors.h"
#include "core/system_library.h"

#include <windows.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace qv {

// "Không nạp được thư viện hệ thống <fileName>: " + the system's text for code.
[[noreturn]] inline void throwSystemLibraryFailure(const char* fileName, DWORD code) {
    throw std::runtime_error(std::string("Không nạp được thư viện hệ thống ") + fileName + ": " +
                             windowsErrorText(code));
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
    FARPROC address = ::GetProcAddress(library, name);
    if (address == nullptr) {
        throwSystemLibraryFailure(fileName, ::GetLastError());
    }
    slot = reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

} // namespace qv
