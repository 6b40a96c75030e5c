#include "install/install_files.h"

#include "console/console_output.h"
#include "core/errors.h"
#include "shell/shell_extraction.h"

#include <windows.h>

#include <system_error>

namespace qv {
namespace {

namespace fs = std::filesystem;

struct CopyProgress {
    ZipSummary totals;
    std::uint64_t filesCopied = 0;
    std::uint64_t bytesCopied = 0;
    int lastPercent = -1; // the first copied file always draws
};

// A package of empty files is complete with its first file.
int percentOf(const CopyProgress& progress) {
    return progress.totals.totalBytes == 0
               ? 100
               : cappedPercent(progress.bytesCopied, progress.totals.totalBytes);
}

void drawProgress(const std::wstring& tag, const CopyProgress& progress, int percent) {
    printProgress(tag, L"Đang cài " + formatPercent(percent) + L"% | " +
                           std::to_wstring(progress.filesCopied) + L"/" +
                           std::to_wstring(progress.totals.fileCount) + L" tệp | " +
                           formatByteSize(progress.bytesCopied) + L"/" +
                           formatByteSize(progress.totals.totalBytes) + L"          ");
}

// libstdc++'s copy_file cannot replace an existing file on this platform, so the copy that
// overwrites is the system's own.
std::error_code copyReplacing(const fs::path& from, const fs::path& to) {
    if (!::CopyFileW(from.c_str(), to.c_str(), FALSE /* replace an existing target */)) {
        return std::error_code(static_cast<int>(::GetLastError()), std::system_category());
    }
    return {};
}

std::error_code installFile(const fs::directory_entry& entry, const fs::path& target,
                            const std::wstring& tag, CopyProgress& progress) {
    std::error_code error;
    fs::create_directories(target.parent_path(), error);
    if (error) {
        return error;
    }
    error = copyReplacing(entry.path(), target);
    if (error) {
        return error;
    }
    progress.filesCopied += 1;
    const std::uintmax_t size = entry.file_size(error);
    if (error) {
        return error;
    }
    progress.bytesCopied += size;
    const int percent = percentOf(progress);
    if (percent > progress.lastPercent || progress.filesCopied == progress.totals.fileCount) {
        drawProgress(tag, progress, percent);
    }
    progress.lastPercent = percent;
    return error;
}

} // namespace

void installFiles(const fs::path& source, const fs::path& destination, const std::wstring& tag) {
    printStatus(tag, L"Đang lập danh sách tệp cần cài...");
    CopyProgress progress;
    // A missing source counts as empty here; opening it for the copy below reports it.
    progress.totals = tallyDirectory(source);

    std::error_code createError;
    fs::create_directories(destination, createError);
    check(!createError, "Không tạo được thư mục đích: " + toUtf8(destination.wstring()));

    for (fs::recursive_directory_iterator entry(source), end; entry != end; ++entry) {
        // Resolved afresh per entry so a source reached through a link or a relative path
        // still maps each file to its own place under the destination.
        const fs::path relative =
            fs::weakly_canonical(entry->path()).lexically_relative(fs::weakly_canonical(source));
        const fs::path target = destination / relative;
        const fs::file_status status = entry->status();
        std::error_code error;
        if (fs::is_directory(status)) {
            fs::create_directories(target, error);
        } else if (fs::is_regular_file(status)) {
            error = installFile(*entry, target, tag, progress);
        }
        // Anything else (a device, a broken link) is not part of a package and is passed over.
        check(!error, "Không sao chép được: " + toUtf8(target.wstring()));
    }

    printProgressEnd(tag,
                     L"Cài tệp 100% | " + std::to_wstring(progress.filesCopied) + L" tệp | " +
                         formatByteSize(progress.bytesCopied),
                     20);
}

} // namespace qv
