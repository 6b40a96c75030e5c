#pragma once
// One installer at a time, machine-wide: two runs that copy into one installation folder at
// once would each find the other's files in use, and one of them would fail half-way.
//
// The mutex lives in a folder of its own at the root of the system's object namespace, where
// only administrators and SYSTEM may create anything, and the folder's rules let only them in:
// no standard user's program can make, hold or deny it first. (Any user may create any name in
// Global\ or Local\, so a mutex there could be taken before the installer starts, and kept.)

#include "core/guards.h"

#include <windows.h>

namespace qv {

// The folder, at the root of the object namespace, and the mutex every normal run holds in it.
extern const wchar_t kInstallerObjectFolder[];
extern const wchar_t kInstallerMutexName[];

// A mutex this thread holds: let go, then closed. Closing alone would leave it held until the
// thread ends.
inline void releaseAndCloseMutex(HANDLE mutex) {
    ::ReleaseMutex(mutex);
    ::CloseHandle(mutex);
}

// The mutex `name` in the installer's object folder, each made when missing (the folder with
// rules for SYSTEM and Administrators only). Either is empty when the system refuses it.
struct InstallerMutex {
    UniqueResource<HANDLE, closeKernelHandle> folder;
    UniqueResource<HANDLE, closeKernelHandle> mutex;
};
InstallerMutex openInstallerMutex(const wchar_t* name = kInstallerMutexName);

// The mutex held, and the folder that keeps its name, until reset or destroyed.
class HeldMutex {
public:
    HeldMutex() = default;
    explicit HeldMutex(InstallerMutex taken)
        : folder_(std::move(taken.folder)), mutex_(taken.mutex.release()) {}
    explicit operator bool() const { return static_cast<bool>(mutex_); }
    void reset() {
        mutex_.reset();
        folder_.reset();
    }

private:
    UniqueResource<HANDLE, closeKernelHandle> folder_; // closed after the mutex is let go
    UniqueResource<HANDLE, releaseAndCloseMutex> mutex_;
};

// Takes the mutex named `name` without waiting. A mutex whose holder ended without letting go
// (a run that was killed or crashed) is taken over. While another process holds it, or when the
// folder or the mutex cannot be made or opened, raises
// "Một trình cài đặt Quorvalent khác đang chạy.".
HeldMutex holdInstallerMutex(const wchar_t* name = kInstallerMutexName);

} // namespace qv
