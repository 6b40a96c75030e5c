#include "core/thread_messages.h"

#include <windows.h>

namespace qv {

void pumpThreadMessages() noexcept {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

} // namespace qv
