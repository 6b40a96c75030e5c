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

} // namespace qv
