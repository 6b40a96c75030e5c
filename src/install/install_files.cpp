#include "install/install_files.h"

#include "console/console_break.h"
#include "console/console_output.h"
#include "console/progress_line.h"
#include "core/directory_walk.h"
#include "core/errors.h"
#include "core/tree_removal.h"
#include "install/inherited_security.h"
#include "install/install_site.h"
#include "install/placement_steps.h"
#include "install/update/file_update.h"
#include "install/update/run_folder.h"
#include "zip/folder_tally.h"

#include <windows.h>

#include "console/console_writer.h"
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace qv {
namespace {

namespace fs = std::filesystem;

struct CopyProgress {
    ZipSummary totals;
    std::uint64_t filesCopied = 0;
    std::uint64_t bytesCopied = 0;
};

// A package of empty files is complete with its first file.
int percentOf(const CopyProgress& progress) {
    return progress.totals.totalBytes == 0
               ? 100
               : cappedPercent(progress.bytesCopied, progress.totals.totalBytes);
}

std::wstring nameOf(std::wstring_view relative) {
    return std::wstring(relative.substr(relative.rfind(L'\\') + 1));
}

// The package's folders and files in the order the listing yields them, each with the folder it
// lies in. Links in the package tree are passed over like any other entry that is neither a
// file nor a folder: following one would copy whatever it points to into the installation.
UpdatePlan listPackage(const fs::path& source) {
    UpdatePlan tree;
    tree.folders.emplace_back();
    std::unordered_map<std::wstring, std::size_t> folderIndex{{L"", 0}};
    auto folderOf = [&](std::wstring_view relative) {
        const std::size_t separator = relative.rfind(L'\\');
        return folderIndex.at(separator == relative.npos
                                  ? std::wstring()
                                  : std::wstring(relative.substr(0, separator)));
    };
    const WalkResult walk = walkDirectory(
        source, WalkOrder::FolderFirst, WalkErrors::Stop, [&](const WalkEntry& entry) {
            if (entry.isFolder()) {
                UpdateFolder& folder = tree.folders.emplace_back();
                folder.relative = std::wstring(entry.relative);
                folder.name = nameOf(entry.relative);
                folder.parent = folderOf(entry.relative);
                folderIndex.emplace(folder.relative, tree.folders.size() - 1);
            } else if (entry.isRegularFile()) {
                tree.files.push_back({std::wstring(entry.relative), nameOf(entry.relative),
                                      folderOf(entry.relative), entry.size});
            }
            return true;
        });
    if (walk.error) {
        // The source itself unreadable or missing, or a folder inside it: nothing may be left
        // out of an installation silently.
        throwCopyFailure(walk.failedFolder, static_cast<DWORD>(walk.error.value()));
    }
    return tree;
}

void holdFolder(UpdateFolder& folder, HeldFolder held) {
    folder.held = std::move(held);
    folder.finalPath = finalPathOf(folder.held.handle());
}

// Every folder the package writes into that exists already is checked and held before anything
// changes; what is missing is made later, by the update.
void holdExistingFolders(UpdatePlan& tree, const fs::path& destination) {
    for (std::size_t index = 1; index < tree.folders.size(); ++index) {
        UpdateFolder& folder = tree.folders[index];
        const UpdateFolder& parent = tree.folders[folder.parent];
        if (!parent.held) {
            continue; // inside a folder still to be made
        }
        HoldResult held = holdExistingChildFolder(parent.held, folder.name);
        const fs::path shown = destination / folder.relative;
        if (held.status == HoldStatus::NotAPlainFolder) {
            throwUnsafeFolder(shown);
        }
        if (held.status == HoldStatus::Held) {
            holdFolder(folder, std::move(held.folder));
        } else if (held.status != HoldStatus::Missing) {
            throwCopyFailure(shown, held.error);
        }
    }
}

// The rules each folder passes on to the new files that land in it: read from the folder held,
// or, for a folder still to be made, those its parent passes on to a new folder.
void readFolderRules(UpdatePlan& tree, const fs::path& destination) {
    for (UpdateFolder& folder : tree.folders) {
        const fs::path shown = destination / folder.relative;
        DWORD error = folder.held ? readFolderSecurity(folder.held.handle(), folder.security)
                                  : inheritedSecurity(tree.folders[folder.parent].security, true,
                                                      folder.security);
        if (error != ERROR_SUCCESS ||
            (error = inheritedSecurity(folder.security, false, folder.forFiles)) != 0) {
            throwCopyFailure(shown, error);
        }
    }
}

std::string joinedPaths(const std::vector<fs::path>& paths) {
    std::string joined;
    for (const fs::path& path : paths) {
        joined += (joined.empty() ? "" : "; ") + toUtf8(printableText(path.wstring()));
    }
    return joined;
}

} // namespace

void installFiles(const fs::path& source, const fs::path& destination, const std::wstring& tag) {
    printStatus(tag, L"Đang lập danh sách tệp cần cài...");
    CopyProgress progress;
    ProgressLine line(tag, kInstallLine);
    // A missing source counts as empty here; listing it below reports it.
    progress.totals = tallyDirectory(source);

    InstallSite site = holdInstallSite(destination, "Không tạo được thư mục đích: " +
                                                        toUtf8(destination.wstring()));
    UpdatePlan tree = listPackage(source);
    holdFolder(tree.folders[0], std::move(site.destination));
    tree.folders[0].madeNow = site.destinationMade;
    holdExistingFolders(tree, destination);
    readFolderRules(tree, destination);

    std::vector<char> buffer(1 << 20);
    // Stopped halfway, the update would leave old and new files mixed, and the old copies only
    // in the run's folder, which a later run removes.
    const ConsoleBreakDeferral deferral;
    HeldFolder runFolder = createRunFolder(site);
    const std::wstring runFolderName = runFolder.path().filename().wstring();
    FileUpdate update(site.parent, std::move(runFolder), buffer);
    try {
        update.apply(tree, source, destination, [&](const UpdateFile& file) {
            progress.filesCopied += 1;
            progress.bytesCopied += file.size;
            // The first copied file always draws; the last one draws its count.
            line.update({percentOf(progress), progress.filesCopied, progress.totals.fileCount,
                         progress.bytesCopied, progress.totals.totalBytes},
                        progress.filesCopied == progress.totals.fileCount);
        });
    } catch (const std::exception& error) {
        const FileUpdate::PutBack putBack = update.putBack();
        if (!putBack.complete) {
            throw std::runtime_error(
                std::string(error.what()) + ". Không khôi phục được bản cài đặt trước" +
                (putBack.keptOldCopies.empty()
                     ? std::string(".")
                     : "; bản cũ còn ở: " + joinedPaths(putBack.keptOldCopies)));
        }
        // A first installation leaves nothing behind either: the folders made for it go, as
        // long as nobody has put anything into them meanwhile.
        if (site.destinationMade) {
            removeHeldFolderIfEmpty(site.parent, tree.folders[0].held);
        }
        if (site.parentMade) {
            removeHeldFolderIfEmpty(site.base, site.parent);
        }
        if (line.drawn()) {
            printText(L"\n"); // ends the progress line drawn so far
        }
        printStatus(tag, L"Đã khôi phục bản cài đặt trước.");
        throw;
    }
    update.commit();
    removeEarlierRunFolders(site, runFolderName);

    printProgressEnd(tag,
                     L"Cài tệp 100% | " + std::to_wstring(progress.filesCopied) + L" tệp | " +
                         formatByteSize(progress.bytesCopied),
                     20);
}

} // namespace qv
