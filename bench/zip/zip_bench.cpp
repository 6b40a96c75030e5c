// Times verifyZipArchive inside one process, so that the program's own start-up is not counted:
//   zip_bench ARCHIVE RUNS
// prints one line of key=value pairs: the summary, the number of runs, and the fastest and the
// median run in microseconds.

#include "core/errors.h"
#include "zip/zip_verifier.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <vector>

namespace {

double nowMicroseconds() {
    static const double ticksPerMicrosecond = [] {
        LARGE_INTEGER frequency;
        ::QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart) / 1e6;
    }();
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / ticksPerMicrosecond;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::cerr << "usage: zip_bench ARCHIVE RUNS\n";
        return 2;
    }
    const std::wstring archive = argv[1];
    const int runs = std::max(1, static_cast<int>(std::wcstol(argv[2], nullptr, 10)));
    try {
        qv::ZipSummary summary;
        std::vector<double> times;
        for (int i = 0; i < runs; ++i) {
            const double start = nowMicroseconds();
            summary = qv::verifyZipArchive(archive);
            times.push_back(nowMicroseconds() - start);
        }
        std::sort(times.begin(), times.end());
        std::cout << "files=" << summary.fileCount << " bytes=" << summary.totalBytes
                  << " runs=" << runs << " min_us=" << times.front()
                  << " median_us=" << times[times.size() / 2] << std::endl;
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "refused: " << error.what() << std::endl;
        return 1;
    }
}
