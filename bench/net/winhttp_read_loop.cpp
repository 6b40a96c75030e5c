// The baseline for the installer's download: the least a WinHTTP client can do to fetch URL
// into TARGET (one request, a read loop into a 128 KiB buffer, WriteFile), with no progress,
// redirect checks or partial-file handling. Reports on stderr, like net_download_bench:
//   bytes <n> seconds <s> peak_working_set <bytes>
//   winhttp_read_loop.exe URL TARGET

#include <windows.h>
#include <psapi.h>
#include <winhttp.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr DWORD kBufferSize = 0x20000;

int fail(const char* call) {
    std::fprintf(stderr, "%s failed: %lu\n", call, ::GetLastError());
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: winhttp_read_loop URL TARGET\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();

    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(argv[1], 0 /* whole string */, 0 /* no escaping */, &parts)) {
        return fail("WinHttpCrackUrl");
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    const std::wstring object = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                                std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);

    // Handles are closed by the process exit: this program does one transfer and ends.
    const HINTERNET session =
        ::WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                      WINHTTP_NO_PROXY_BYPASS, 0 /* synchronous */);
    const HINTERNET connection =
        session ? ::WinHttpConnect(session, host.c_str(), parts.nPort, 0 /* reserved */) : nullptr;
    const HINTERNET request =
        connection
            ? ::WinHttpOpenRequest(connection, L"GET", object.c_str(),
                                   nullptr /* default version */, WINHTTP_NO_REFERER,
                                   WINHTTP_DEFAULT_ACCEPT_TYPES,
                                   parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)
            : nullptr;
    if (!request) {
        return fail("WinHttpOpenRequest");
    }
    if (!::WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0 /* headers length */,
                              WINHTTP_NO_REQUEST_DATA, 0 /* data length */, 0 /* total length */,
                              0 /* context */) ||
        !::WinHttpReceiveResponse(request, nullptr /* reserved */)) {
        return fail("WinHttpSendRequest/ReceiveResponse");
    }

    const HANDLE file =
        ::CreateFileW(argv[2], GENERIC_WRITE, 0 /* no sharing */, nullptr /* default security */,
                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr /* no template */);
    if (file == INVALID_HANDLE_VALUE) {
        return fail("CreateFileW");
    }
    std::vector<char> buffer(kBufferSize);
    unsigned long long total = 0;
    for (;;) {
        DWORD read = 0;
        if (!::WinHttpReadData(request, buffer.data(), kBufferSize, &read)) {
            return fail("WinHttpReadData");
        }
        if (read == 0) {
            break;
        }
        DWORD written = 0;
        if (!::WriteFile(file, buffer.data(), read, &written, nullptr /* not overlapped */) ||
            written != read) {
            return fail("WriteFile");
        }
        total += read;
    }
    ::CloseHandle(file);
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;

    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof(memory));
    std::fprintf(stderr, "bytes %llu seconds %.6f peak_working_set %llu\n", total, seconds.count(),
                 static_cast<unsigned long long>(memory.PeakWorkingSetSize));
    return 0;
}
