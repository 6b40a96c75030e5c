#pragma once
// DLLs come from the system folder only. The installer runs with administrator rights, usually
// from a Downloads folder: a DLL that an unelevated program put beside it or in the current
// folder must never be loaded into it.

#include <windows.h>

namespace qv {

// Restricts every later DLL load of the process, by this program or by system code on its
// behalf (COM, the Shell, WinHTTP), to the system folder, and drops the current folder from
// the search. Called first thing in wmain. Never throws.
void restrictDllSearchToSystemFolder() noexcept;

// Loads a system DLL by file name from the system folder, never through the default search.
// Returns null with the thread's last error set on failure.
HMODULE loadSystemLibrary(const wchar_t* fileName) noexcept;

// The function `name` that `module` exports, as the pointer type Function; null, with the
// thread's last error set, when it does not export it. Every function the program binds by name
// (newer than the oldest supported system, or in a DLL loaded at run time) comes through here.
template <typename Function> Function systemFunction(HMODULE module, const char* name) noexcept {
    if (module == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// The same from a DLL that is in every process from its start (kernel32.dll, ntdll.dll).
template <typename Function>
Function systemFunction(const wchar_t* moduleName, const char* name) noexcept {
    return systemFunction<Function>(::GetModuleHandleW(moduleName), name);
}

} // namespace qv
