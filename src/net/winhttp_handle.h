#pragma once
// Ownership of WinHTTP handles (session, connection, request) in the shape of core/guards.h.

#include "core/guards.h"

#include <windows.h>
#include <winhttp.h>

namespace qv {

inline void closeWinHttpHandle(HINTERNET handle) {
    ::WinHttpCloseHandle(handle);
}

using UniqueWinHttpHandle = UniqueResource<HINTERNET, closeWinHttpHandle>;

} // namespace qv
