// Downloads URL to TARGET with the installer's own transfer and reports, on stderr:
//   bytes <n> seconds <s> peak_working_set <bytes>
// The time covers the transfer only, not the process start-up. With ATTEMPTS, a failed
// transfer is tried again at once, up to that many times in all, each continuing what the
// last one left where it can (as the installer's retries do, without their pauses).
//   net_download_bench.exe URL TARGET [ATTEMPTS]

#include "net/download.h"
#include "net/winhttp_api.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 4) {
        std::fwprintf(stderr, L"usage: net_download_bench URL TARGET [ATTEMPTS]\n");
        return 2;
    }
    const int attempts = argc == 4 ? std::stoi(argv[3]) : 1;
    // The same console set-up as the installer, so the progress lines cost what they cost there.
    _setmode(_fileno(stdout), _O_U8TEXT);

    // The bare loop's WinHTTP is loaded with the program, before its clock starts; the
    // installer's is loaded at first use, once per run: here before the clock starts too.
    qv::winHttp();
    const auto start = std::chrono::steady_clock::now();
    qv::ResumePoint resume;
    for (int attempt = 1;; ++attempt) {
        try {
            qv::downloadFile(argv[1], argv[2], L"Bench", resume);
            break;
        } catch (const std::exception& error) {
            std::cerr << error.what() << '\n';
            if (attempt == attempts) {
                return 1;
            }
        }
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
