#pragma once
// WinHTTP reached through a table filled from the system folder's winhttp.dll (see
// net/system_functions.h for why it is no static import).

#include <windows.h>
#include <winhttp.h>

namespace qv {

// Each WinHTTP function the download calls: its name after "WinHttp", and its slot below.
#define QV_WINHTTP_FUNCTIONS(X)                                                                    \
    X(CrackUrl, crackUrl)                                                                          \
    X(Open, open)                                                                                  \
    X(SetTimeouts, setTimeouts)                                                                    \
    X(Connect, connect)                                                                            \
    X(OpenRequest, openRequest)                                                                    \
    X(SetOption, setOption)                                                                        \
    X(QueryOption, queryOption)                                                                    \
    X(SetStatusCallback, setStatusCallback)                                                        \
    X(SendRequest, sendRequest)                                                                    \
    X(ReceiveResponse, receiveResponse)                                                            \
    X(QueryHeaders, queryHeaders)                                                                  \
    X(QueryDataAvailable, queryDataAvailable)                                                      \
    X(ReadData, readData)                                                                          \
    X(CloseHandle, closeHandle)                                                                    \
    X(GetIEProxyConfigForCurrentUser, getIEProxyConfigForCurrentUser)                              \
    X(GetProxyForUrl, getProxyForUrl)

struct WinHttpApi {
#define QV_WINHTTP_SLOT(name, slot) decltype(&::WinHttp##name) slot;
    QV_WINHTTP_FUNCTIONS(QV_WINHTTP_SLOT)
#undef QV_WINHTTP_SLOT
};

// Loads the system's WinHTTP on first use and keeps it for the life of the process. Throws
// "Không nạp được thư viện hệ thống winhttp.dll: " + the system's text when it cannot; the next
// call tries again.
const WinHttpApi& winHttp();

} // namespace qv
