#pragma once
// One installer at a time, machine-wide: two runs that copy into one installation folder at
// once would each find the other's files in use, and one of them would fail half-way.

#include "core/guards.h"

#include <windows.h>

namespace qv {

// The name every normal run holds, in the namespace that all sessions share.
extern const wchar_t kInstallerMutexName[];

// A mutex this thread holds: let go, then closed. Closing alone would leave it held until the
// thread ends.
inline void releaseAndCloseMutex(HANDLE mutex) {
    ::ReleaseMutex(mutex);
    ::CloseHandle(mutex);
}
using HeldMutex = UniqueResource<HANDLE, releaseAndCloseMutex>;

// Takes the mutex named `name` without waiting. A mutex whose holder ended without letting go
// (a run that was killed or crashed) is taken over. While another process holds it, or when the
// name belongs to something this process cannot open as a mutex, raises
// "Một trình cài đặt Quorvalent khác đang chạy.".
HeldMutex holdInstallerMutex(const wchar_t* name = kInstallerMutexName);

} // namespace qv
