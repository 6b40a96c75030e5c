#include "net/winhttp_api.h"

#include "core/errors.h"
#include "core/system_library.h"

#include <stdexcept>

namespace qv {
namespace {

constexpr char kLoadFailure[] = "Không nạp được thư viện hệ thống winhttp.dll: ";

[[noreturn]] void throwLoadFailure(DWORD code) {
    throw std::runtime_error(kLoadFailure + windowsErrorText(code));
}

template <typename Function> void bind(HMODULE library, const char* name, Function& slot) {
    FARPROC address = ::GetProcAddress(library, name);
    if (address == nullptr) {
        throwLoadFailure(::GetLastError());
    }
    slot = reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

WinHttpApi loadWinHttp() {
    // Never freed: the table is used until the process ends.
    const HMODULE library = loadSystemLibrary(L"winhttp.dll");
    if (library == nullptr) {
        throwLoadFailure(::GetLastError());
    }
    WinHttpApi api{};
#define QV_WINHTTP_BIND(name, slot) bind(library, "WinHttp" #name, api.slot);
    QV_WINHTTP_FUNCTIONS(QV_WINHTTP_BIND)
#undef QV_WINHTTP_BIND
    return api;
}

} // namespace

const WinHttpApi& winHttp() {
    static const WinHttpApi api = loadWinHttp();
    return api;
}

} // namespace qv
