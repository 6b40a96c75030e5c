#pragma once
// Ownership of WinHTTP handles (session, connection, request) in the shape of core/guards.h.

#include "core/guards.h"
#include "net/winhttp_api.h"

#include <windows.h>
#include <winhttp.h>

namespace qv {

inline void closeWinHttpHandle(HINTERNET handle) {
    winHttp().closeHandle(handle);
}

using UniqueWinHttpHandle = UniqueResource<HINTERNET, closeWinHttpHandle>;

} // namespace qv
