#include "core/installer_mutex.h"

#include "core/errors.h"

#include <stdexcept>

namespace qv {

const wchar_t kInstallerMutexName[] = L"Global\\QuorvalentInstallerNative-OneRunAtATime";

HeldMutex holdInstallerMutex(const wchar_t* name) {
    const char* const busy = "Một trình cài đặt Quorvalent khác đang chạy.";
    // Not owned on creation: the wait below also takes over a mutex that a dead run left.
    UniqueResource<HANDLE, closeKernelHandle> mutex(
        ::CreateMutexW(nullptr /* default security */, FALSE /* not owned yet */, name));
    // A name taken by another kind of object, or by a mutex this process may not open, leaves
    // no way to keep other runs out.
    check(static_cast<bool>(mutex), busy);
    const DWORD waited = ::WaitForSingleObject(mutex.get(), 0 /* no wait */);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        throw std::runtime_error(busy);
    }
    return HeldMutex(mutex.release());
}

} // namespace qv
