// Loads DLLs by bare name, the way system code does, so the DLL search tests can show that a
// planted marker DLL is picked up at all before they show that the installer never picks it up.
//
//   load_probe [--system-folder-only] [--https-get HOST PORT PATH] NAME...
//
// --system-folder-only first restricts the process's DLL search to the system folder, as a
// program that defends against planted DLLs does. --https-get then loads the system's WinHTTP
// from the system folder, asks it for the person's proxy settings and for automatic proxy
// detection, and makes one HTTPS request, so that what WinHTTP itself loads on the way is
// loaded as it would be for such a program. Each NAME is loaded with LoadLibraryW. A
// step that fails is reported on the standard error stream; the exit code is 0.

#include <windows.h>
#include <winhttp.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);
typedef HINTERNET(WINAPI* OpenFunction)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);
typedef HINTERNET(WINAPI* ConnectFunction)(HINTERNET, LPCWSTR, INTERNET_PORT, DWORD);
typedef HINTERNET(WINAPI* OpenRequestFunction)(HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR,
                                               LPCWSTR*, DWORD);
typedef BOOL(WINAPI* SendRequestFunction)(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD,
                                          DWORD_PTR);
typedef BOOL(WINAPI* ReceiveResponseFunction)(HINTERNET, LPVOID);
typedef BOOL(WINAPI* CloseHandleFunction)(HINTERNET);
typedef BOOL(WINAPI* UserProxyFunction)(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG*);
typedef BOOL(WINAPI* ProxyForUrlFunction)(HINTERNET, LPCWSTR, WINHTTP_AUTOPROXY_OPTIONS*,
                                          WINHTTP_PROXY_INFO*);

static void restrictToSystemFolder(void) {
    // Looked up at run time: the import library of older toolchains lacks it.
    const SetDefaultDllDirectoriesFunction setDefault =
        (SetDefaultDllDirectoriesFunction)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                                                "SetDefaultDllDirectories");
    if (setDefault == NULL || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        fprintf(stderr, "SetDefaultDllDirectories failed\n");
    }
    SetDllDirectoryW(L"");
}

static void httpsGet(const wchar_t* host, const wchar_t* port, const wchar_t* path) {
    const HMODULE winhttp = LoadLibraryExW(L"winhttp.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (winhttp == NULL) {
        fprintf(stderr, "winhttp.dll: error %lu\n", GetLastError());
        return;
    }
    const OpenFunction open = (OpenFunction)(void*)GetProcAddress(winhttp, "WinHttpOpen");
    const ConnectFunction connect =
        (ConnectFunction)(void*)GetProcAddress(winhttp, "WinHttpConnect");
    const OpenRequestFunction openRequest =
        (OpenRequestFunction)(void*)GetProcAddress(winhttp, "WinHttpOpenRequest");
    const SendRequestFunction sendRequest =
        (SendRequestFunction)(void*)GetProcAddress(winhttp, "WinHttpSendRequest");
    const ReceiveResponseFunction receiveResponse =
        (ReceiveResponseFunction)(void*)GetProcAddress(winhttp, "WinHttpReceiveResponse");
    const CloseHandleFunction closeHandle =
        (CloseHandleFunction)(void*)GetProcAddress(winhttp, "WinHttpCloseHandle");
    const UserProxyFunction userProxy =
        (UserProxyFunction)(void*)GetProcAddress(winhttp, "WinHttpGetIEProxyConfigForCurrentUser");
    const ProxyForUrlFunction proxyForUrl =
        (ProxyForUrlFunction)(void*)GetProcAddress(winhttp, "WinHttpGetProxyForUrl");
    if (!open || !connect || !openRequest || !sendRequest || !receiveResponse || !closeHandle ||
        !userProxy || !proxyForUrl) {
        fprintf(stderr, "winhttp.dll: functions missing\n");
        return;
    }
    const HINTERNET session = open(L"load_probe", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    // What the installer asks before its downloads (the strings handed out are not freed).
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings = {0};
    WINHTTP_AUTOPROXY_OPTIONS detection = {0};
    WINHTTP_PROXY_INFO proxy = {0};
    userProxy(&settings);
    detection.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    detection.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    if (session) {
        proxyForUrl(session, L"https://localhost/", &detection, &proxy);
    }
    const HINTERNET connection =
        session ? connect(session, host, (INTERNET_PORT)_wtoi(port), 0) : NULL;
    const HINTERNET request = connection
                                  ? openRequest(connection, L"GET", path, NULL, WINHTTP_NO_REFERER,
                                                WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE)
                                  : NULL;
    if (request == NULL ||
        !sendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !receiveResponse(request, NULL)) {
        fprintf(stderr, "HTTPS request: error %lu\n", GetLastError());
    }
    if (request) {
        closeHandle(request);
    }
    if (connection) {
        closeHandle(connection);
    }
    if (session) {
        closeHandle(session);
    }
}

int wmain(int argc, wchar_t** argv) {
    int next = 1;
    if (next < argc && wcscmp(argv[next], L"--system-folder-only") == 0) {
        restrictToSystemFolder();
        next += 1;
    }
    if (next + 3 < argc && wcscmp(argv[next], L"--https-get") == 0) {
        httpsGet(argv[next + 1], argv[next + 2], argv[next + 3]);
        next += 4;
    }
    for (; next < argc; ++next) {
        if (LoadLibraryW(argv[next]) == NULL) {
            fprintf(stderr, "%ls: error %lu\n", argv[next], GetLastError());
        }
    }
    return 0;
}
