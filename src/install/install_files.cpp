#include "install/install_files.h"

#include "console/console_output.h"
#include "core/directory_walk.h"
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

std::error_code installFile(const WalkEntry& entry, const fs::path& target, const std::wstring& tag,
                            CopyProgress& progress) {
    std::error_code error;
    fs::create_directories(target.parent_path(), error);
    if (error) {
        return error;
    }
    error = copyReplacing(fs::path(std::wstring(entry.path)), target);
    if (error) {
        return error;
    }
    progress.filesCopied += 1;
    // The size as the listing gave it: the file was just copied whole from that entry.
    progress.bytesCopied += entry.size;
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

    // Links in the package tree are passed over like any other entry that is neither a file
    // nor a folder: following one would copy whatever it points to into the installation.
    const WalkResult walk = walkDirectory(
        source, WalkOrder::FolderFirst, WalkErrors::Stop, [&](const WalkEntry& entry) {
            const fs::path target = destination / std::wstring(entry.relative);
            std::error_code error;
            if (entry.isFolder()) {
                fs::create_directories(target, error);
            } else if (entry.isRegularFile()) {
                error = installFile(entry, target, tag, progress);
            }
            check(!error, "Không sao chép được: " + toUtf8(printableText(target.wstring())));
            return true;
        });
    if (walk.error) {
        // The source itself unreadable or missing, or a folder inside it: nothing may be left
        // out of an installation silently.
        throw fs::filesystem_error(
            walk.failedAtRoot ? "recursive_directory_iterator::recursive_directory_iterator"
                              : "recursive_directory_iterator::operator++",
            walk.failedFolder, walk.error);
    }

    printProgressEnd(tag,
                     L"Cài tệp 100% | " + std::to_wstring(progress.filesCopied) + L" tệp | " +
                         formatByteSize(progress.bytesCopied),
                     20);
}

} // namespace qv
