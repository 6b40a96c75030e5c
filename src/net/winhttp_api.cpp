#include "net/winhttp_api.h"

#include "net/system_functions.h"

namespace qv {
namespace {

constexpr char kFileName[] = "winhttp.dll";

WinHttpApi loadWinHttp() {
    const HMODULE library = loadSystemLibraryForGood(kFileName);
    WinHttpApi api{};
#define QV_WINHTTP_BIND(name, slot)                                                                \
    bindSystemFunction(library, kFileName, "WinHttp" #name, api.slot);
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
