#pragma once
// WinHTTP reached through a table filled from the system folder's winhttp.dll. It is no static
// import: the loader would look for it beside the program first, and a planted copy would run
// inside the elevated installer before wmain.

#include <windows.h>
#include <winhttp.h>

namespace qv {

struct WinHttpApi {
    decltype(&::WinHttpCrackUrl) crackUrl;
    decltype(&::WinHttpOpen) open;
    decltype(&::WinHttpSetTimeouts) setTimeouts;
    decltype(&::WinHttpConnect) connect;
    decltype(&::WinHttpOpenRequest) openRequest;
    decltype(&::WinHttpSetOption) setOption;
    decltype(&::WinHttpSetStatusCallback) setStatusCallback;
    decltype(&::WinHttpSendRequest) sendRequest;
    decltype(&::WinHttpReceiveResponse) receiveResponse;
    decltype(&::WinHttpQueryHeaders) queryHeaders;
    decltype(&::WinHttpQueryDataAvailable) queryDataAvailable;
    decltype(&::WinHttpReadData) readData;
    decltype(&::WinHttpCloseHandle) closeHandle;
};

// Loads the system's WinHTTP on first use and keeps it for the life of the process. Throws
// "Không nạp được thư viện hệ thống winhttp.dll: " + the system's text when it cannot; the next
// call tries again.
const WinHttpApi& winHttp();

} // namespace qv
