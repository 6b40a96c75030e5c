// Downloads URL to TARGET with the installer's own transfer and reports, on stderr:
//   bytes <n> seconds <s> peak_working_set <bytes>
// The time covers the transfer only, not the process start-up.
//   net_download_bench.exe URL TARGET

#include "net/download.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fwprintf(stderr, L"usage: net_download_bench URL TARGET\n");
        return 2;
    }
    // The same console set-up as the installer, so the progress lines cost what they cost there.
    _setmode(_fileno(stdout), _O_U8TEXT);

    const auto start = std::chrono::steady_clock::now();
    try {
        qv::downloadFile(argv[1], argv[2], L"Bench");
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;

    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof(memory));
    std::fprintf(stderr, "bytes %llu seconds %.6f peak_working_set %llu\n",
                 static_cast<unsigned long long>(std::filesystem::file_size(argv[2])),
                 seconds.count(), static_cast<unsigned long long>(memory.PeakWorkingSetSize));
    return 0;
}
