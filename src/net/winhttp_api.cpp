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
    bind(library, "WinHttpCrackUrl", api.crackUrl);
    bind(library, "WinHttpOpen", api.open);
    bind(library, "WinHttpSetTimeouts", api.setTimeouts);
    bind(library, "WinHttpConnect", api.connect);
    bind(library, "WinHttpOpenRequest", api.openRequest);
    bind(library, "WinHttpSetOption", api.setOption);
    bind(library, "WinHttpSetStatusCallback", api.setStatusCallback);
    bind(library, "WinHttpSendRequest", api.sendRequest);
    bind(library, "WinHttpReceiveResponse", api.receiveResponse);
    bind(library, "WinHttpQueryHeaders", api.queryHeaders);
    bind(library, "WinHttpQueryDataAvailable", api.queryDataAvailable);
    bind(library, "WinHttpReadData", api.readData);
    bind(library, "WinHttpCloseHandle", api.closeHandle);
    return api;
}

} // namespace

const WinHttpApi& winHttp() {
    static const WinHttpApi api = loadWinHttp();
    return api;
}

} // namespace qv
