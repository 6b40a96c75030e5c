// Times installFiles on a package tree and tallyDirectory on a large folder. Run by
// bench/shell.py, which builds the trees and times the host's own copy beside it.
//
//   shell_bench install SOURCE DESTINATION
//   shell_bench tally FOLDER REPEATS

#include "install/install_files.h"
#include "shell/shell_extraction.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The console lines are not what is measured.
class DiscardingBuffer : public std::wstreambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const wchar_t*, std::streamsize count) override { return count; }
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    DiscardingBuffer discard;
    std::wcout.rdbuf(&discard);
    try {
        if (mode == L"install" && argc == 4) {
            const Clock::time_point start = Clock::now();
            qv::installFiles(argv[2], argv[3], L"Bench");
            std::printf("install_seconds %.3f\n", secondsSince(start));
            return 0;
        }
        if (mode == L"tally" && argc == 4) {
            const int repeats = std::max(1, std::stoi(argv[3]));
            std::vector<double> times;
            qv::ZipSummary seen;
            for (int i = 0; i < repeats; ++i) {
                const Clock::time_point start = Clock::now();
                seen = qv::tallyDirectory(argv[2]);
                times.push_back(secondsSince(start));
            }
            std::sort(times.begin(), times.end());
            std::printf("tally_files %llu\ntally_bytes %llu\ntally_median_seconds %.4f\n"
                        "tally_min_seconds %.4f\n",
                        static_cast<unsigned long long>(seen.fileCount),
                        static_cast<unsigned long long>(seen.totalBytes), times[times.size() / 2],
                        times.front());
            return 0;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::fprintf(stderr, "usage: shell_bench install SOURCE DESTINATION | tally FOLDER REPEATS\n");
    return 2;
}
