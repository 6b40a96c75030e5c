#pragma once
// The changes one installation makes below the installation folder, kept so that they land
// whole or not at all. New bytes never go through an existing name: each file is written into
// a file made new in the run's own folder, the file at its target name (a link or a second
// name included, as a name) moves into the run's folder as its backup, and the new file takes
// the name, all by handle. Backups stay until the whole package is in place (then they go; an
// old copy still in use waits for a later run) or the run fails (then everything goes back).

#include "core/held_folder.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace qv {

class FileUpdate {
public:
    // runFolderParent holds runFolder and outlives the update.
    FileUpdate(const HeldFolder& runFolderParent, HeldFolder runFolder,
               std::vector<char>& copyBuffer);
    FileUpdate(const FileUpdate&) = delete;
    FileUpdate& operator=(const FileUpdate&) = delete;

    // Makes `name` in `parent` and holds it in `slot` until the update ends; refuses anything
    // that appeared at that name meanwhile. `shown` is the folder's path for messages.
    void createFolder(HeldFolder& slot, const HeldFolder& parent, const std::wstring& name,
                      const std::filesystem::path& shown);

    // Puts a copy of `source` in place as `name` in `folder` (whose final path is
    // folderFinalPath; `folderIsNew` when this run made it, so that nothing of the
    // installation's can be at the name). Raises "Không sao chép được: " + shown and the
    // system's reason.
    void placeFile(const HeldFolder& folder, const std::wstring& folderFinalPath, bool folderIsNew,
                   const std::wstring& name, const std::filesystem::path& source,
                   const std::filesystem::path& shown);

    struct PutBack {
        bool complete = true;
        std::vector<std::filesystem::path> keptOldCopies; // backups that could not go back
    };
    // Undoes everything: new files out, backups back, created folders removed. Never throws.
    PutBack putBack() noexcept;

    // Keeps everything: backups go, old copies still in use wait in the run's folder. Never
    // throws.
    void commit() noexcept;

private:
    struct Placement {
        const HeldFolder* folder = nullptr;
        std::wstring name;       // the package's spelling; the old file's own, once moved away
        std::wstring stagedName; // in the run's folder
        UniqueFile staged;       // the new file, until the update ends
        std::size_t backupFolder = 0;
        std::wstring backupName;
        UniqueFile backup; // what was at the name, moved into the run's folder
        bool placed = false;
    };

    HANDLE nextBackupFolder(const std::filesystem::path& shown);
    void removeBackupFolders() noexcept;

    const HeldFolder& runFolderParent_;
    HeldFolder runFolder_;
    std::vector<HeldFolder> backupFolders_; // in the run's folder, a hundred old copies each
    std::size_t backups_ = 0;
    std::vector<char>& buffer_;
    std::vector<Placement> placements_;
    std::vector<std::pair<const HeldFolder*, HeldFolder*>> createdFolders_; // parent, folder
};

} // namespace qv
