// Times installFiles on a package tree and tallyDirectory on a large folder, each beside the
// least Windows code that does the same job. Run by bench/shell.py, which builds the trees
// and times the host's own copy as well.
//
//   shell_bench install SOURCE DESTINATION
//   shell_bench copyloop SOURCE DESTINATION     (bare walk + CreateDirectoryW + CopyFileW)
//   shell_bench reinstall SOURCE DESTINATION    (installFiles over an existing installation)
//   shell_bench copyover SOURCE DESTINATION     (the bare loop, replacing every file)
//   shell_bench landover SOURCE DESTINATION     (the bare loop, each file a new file moved over
//                                                its target)
//   shell_bench copyflush SOURCE DESTINATION    (the bare loop, each new file flushed)
//   shell_bench landflush SOURCE DESTINATION    (each file a new file, flushed; then each moved
//                                                over its target)
//   shell_bench volumeflush FOLDER              (whether the folder's volume can be flushed, as
//                                                installFiles asks)
//   shell_bench tally FOLDER REPEATS            (tallyDirectory and a bare walk, alternating)
//   shell_bench compare FOLDER ARCHIVE REPEATS  (the extracted tree against the archive's list,
//                                                and a bare loop reading every file once)

#include "console/console_writer.h"
#include "install/install_files.h"
#include "install/placement_steps.h"
#include "shell/extracted_tree.h"
#include "shell/shell_extraction.h"
#include "zip/folder_tally.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The baselines' walk: one FindFirstFileExW listing per folder with the cheapest options
// Windows offers, links not entered. Calls visit(path, entry) for every file and folder.
template <typename Visit> void walk(const std::wstring& folder, Visit& visit) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = ::FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &entry,
                                           FindExSearchNameMatch, nullptr /* no filter */,
                                           FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("FindFirstFileExW failed");
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const std::wstring path = folder + L"\\" + name;
        visit(path, entry);
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            walk(path, visit);
        }
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
}

qv::ZipSummary bareTally(const std::wstring& folder) {
    qv::ZipSummary seen;
    auto count = [&seen](const std::wstring&, const WIN32_FIND_DATAW& entry) {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            ++seen.fileCount;
            seen.totalBytes +=
                (static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        }
    };
    walk(folder, count);
    return seen;
}

// With `over`, folders that exist already are fine and every file replaces its target.
bool makeFolder(const std::wstring& folder, bool over) {
    return ::CreateDirectoryW(folder.c_str(), nullptr /* default security */) ||
           (over && ::GetLastError() == ERROR_ALREADY_EXISTS);
}

// The bytes of a file just written reach the disk before the loop goes on.
void flushFile(const std::wstring& path) {
    const HANDLE file =
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0 /* no sharing */,
                      nullptr /* default security */, OPEN_EXISTING, 0, nullptr /* no template */);
    const bool flushed = file != INVALID_HANDLE_VALUE && ::FlushFileBuffers(file);
    if (file != INVALID_HANDLE_VALUE) {
        ::CloseHandle(file);
    }
    if (!flushed) {
        throw std::runtime_error("FlushFileBuffers failed");
    }
}

// Each file copied to a new name beside its target and moved over it: the least Windows code
// that lands every file as a new file, as an update that can be undone has to. With `flush`,
// every new file is made durable before the first name changes, as such an update must.
void bareLandOver(const std::wstring& source, const std::wstring& destination, bool flush) {
    std::vector<std::wstring> landing;
    auto land = [&](const std::wstring& path, const WIN32_FIND_DATAW& entry) {
        const std::wstring target = destination + path.substr(source.size());
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if (!makeFolder(target, true)) {
                throw std::runtime_error("CreateDirectoryW failed");
            }
            return;
        }
        const std::wstring fresh = target + L".new";
        if (!::CopyFileW(path.c_str(), fresh.c_str(), TRUE /* fail if it exists */)) {
            throw std::runtime_error("CopyFileW failed");
        }
        if (flush) {
            flushFile(fresh);
            landing.push_back(target);
        } else if (!::MoveFileExW(fresh.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            throw std::runtime_error("MoveFileExW failed");
        }
    };
    walk(source, land);
    for (const std::wstring& target : landing) {
        if (!::MoveFileExW((target + L".new").c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            throw std::runtime_error("MoveFileExW failed");
        }
    }
}

// With `over`, every file replaces its target; with `flush`, each is made durable as it lands.
void bareCopy(const std::wstring& source, const std::wstring& destination, bool over, bool flush) {
    if (!makeFolder(destination, over)) {
        throw std::runtime_error("CreateDirectoryW failed");
    }
    auto copy = [&](const std::wstring& path, const WIN32_FIND_DATAW& entry) {
        const std::wstring target = destination + path.substr(source.size());
        const bool folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool ok = folder ? makeFolder(target, over)
                               : ::CopyFileW(path.c_str(), target.c_str(), FALSE /* replace */);
        if (!ok) {
            throw std::runtime_error("CopyFileW/CreateDirectoryW failed");
        }
        if (flush && !folder) {
            flushFile(target);
        }
    };
    walk(source, copy);
}

// Every file read once, whole, in pieces as large as the comparison's: what the comparison
// cannot do without. Returns the bytes read.
std::uint64_t bareReadLoop(const std::wstring& folder) {
    std::vector<unsigned char> buffer(256 * 1024);
    std::uint64_t total = 0;
    auto read = [&](const std::wstring& path, const WIN32_FIND_DATAW& entry) {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return;
        }
        const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                          nullptr /* default security */, OPEN_EXISTING,
                                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr /* no template */);
        if (file == INVALID_HANDLE_VALUE) {
            throw std::runtime_error("CreateFileW failed");
        }
        DWORD got = 0;
        while (::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got,
                          nullptr /* synchronous */) &&
               got != 0) {
            total += got;
        }
        ::CloseHandle(file);
    };
    walk(folder, read);
    return total;
}

double median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    // The installer's console lines are not what is measured.
    qv::replaceConsoleWriters({[](const std::wstring&) {}, [](const std::string&) {}});
    try {
        if ((mode == L"install" || mode == L"reinstall") && argc == 4) {
            const Clock::time_point start = Clock::now();
            qv::installFiles(argv[2], argv[3], L"Bench");
            std::printf("%ls_seconds %.3f\n", mode.c_str(), secondsSince(start));
            return 0;
        }
        if ((mode == L"copyloop" || mode == L"copyover" || mode == L"copyflush") && argc == 4) {
            const Clock::time_point start = Clock::now();
            bareCopy(argv[2], argv[3], mode == L"copyover", mode == L"copyflush");
            std::printf("%ls_seconds %.3f\n", mode.c_str(), secondsSince(start));
            return 0;
        }
        if ((mode == L"landover" || mode == L"landflush") && argc == 4) {
            const Clock::time_point start = Clock::now();
            bareLandOver(argv[2], argv[3], mode == L"landflush");
            std::printf("%ls_seconds %.3f\n", mode.c_str(), secondsSince(start));
            return 0;
        }
        if (mode == L"volumeflush" && argc == 3) {
            const HANDLE folder =
                ::CreateFileW(argv[2], FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr /* default security */, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr /* no template */);
            const bool flushed = folder != INVALID_HANDLE_VALUE && qv::flushVolumeOf(folder);
            std::printf("volume_flushed %d\n", flushed ? 1 : 0);
            if (folder != INVALID_HANDLE_VALUE) {
                ::CloseHandle(folder);
            }
            return 0;
        }
        if (mode == L"tally" && argc == 4) {
            // Alternating, so both see the same cache state and the same background load.
            const int repeats = std::max(1, std::stoi(argv[3]));
            std::vector<double> tallyTimes;
            std::vector<double> walkTimes;
            qv::ZipSummary seen;
            qv::ZipSummary walked;
            for (int i = 0; i < repeats; ++i) {
                Clock::time_point start = Clock::now();
                seen = qv::tallyDirectory(argv[2]);
                tallyTimes.push_back(secondsSince(start));
                start = Clock::now();
                walked = bareTally(argv[2]);
                walkTimes.push_back(secondsSince(start));
            }
            if (!(walked == seen)) {
                throw std::runtime_error("the bare walk and tallyDirectory disagree");
            }
            std::printf("tally_files %llu\ntally_bytes %llu\ntally_median_seconds %.4f\n"
                        "tally_min_seconds %.4f\nwalk_median_seconds %.4f\n"
                        "walk_min_seconds %.4f\n",
                        static_cast<unsigned long long>(seen.fileCount),
                        static_cast<unsigned long long>(seen.totalBytes), median(tallyTimes),
                        *std::min_element(tallyTimes.begin(), tallyTimes.end()), median(walkTimes),
                        *std::min_element(walkTimes.begin(), walkTimes.end()));
            return 0;
        }
        if (mode == L"compare" && argc == 5) {
            const qv::ZipSummary listed = qv::verifyZipArchive(argv[3]);
            const int repeats = std::max(1, std::stoi(argv[4]));
            std::vector<double> compareTimes;
            std::vector<double> loopTimes;
            std::uint64_t bytes = 0;
            for (int i = 0; i < repeats; ++i) {
                Clock::time_point start = Clock::now();
                const qv::TreeComparison found = qv::compareExtractedTree(argv[2], listed.entries);
                compareTimes.push_back(secondsSince(start));
                if (found.difference != qv::TreeDifference::None) {
                    throw std::runtime_error("the tree differs from the archive");
                }
                start = Clock::now();
                bytes = bareReadLoop(argv[2]);
                loopTimes.push_back(secondsSince(start));
            }
            if (bytes != listed.totalBytes) {
                throw std::runtime_error("the bare loop read another number of bytes");
            }
            std::printf("compare_files %llu\ncompare_bytes %llu\ncompare_median_seconds %.4f\n"
                        "loop_median_seconds %.4f\n",
                        static_cast<unsigned long long>(listed.fileCount),
                        static_cast<unsigned long long>(bytes), median(compareTimes),
                        median(loopTimes));
            return 0;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::fprintf(
        stderr,
        "usage: shell_bench install|copyloop|copyflush|reinstall|copyover|landover|landflush "
        "SOURCE "
        "DESTINATION | volumeflush FOLDER | tally FOLDER REPEATS | compare FOLDER "
        "ARCHIVE REPEATS\n");
    return 2;
}
