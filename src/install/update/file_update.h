#pragma once
// The changes one installation makes below the installation folder, kept so that they land
// whole or not at all, even when the run does not live to finish them.
//
// New bytes never go through an existing name. First every file is written into a file made new
// in the run's own folder, with the rules its target folder passes on, and the new files are made
// durable; nothing below the installation folder has changed yet. Then a record of the update
// (update_record.h) is written into the run's folder (run_folder.h) and made durable, and only
// then do names change: the file at each target name (a link or a second name included, as a name)
// moves into the run's folder as its old copy, and the new file takes the name, all by handle. Once
// every new file has its name, the record says so. Old copies stay until then (then they go; one
// still in use waits for a later run) or until the run fails (then everything goes back). A run
// that ends before either is undone by the next one (update_recovery.h).

#include "core/held_folder.h"
#include "install/inherited_security.h"
#include "install/placement_steps.h"
#include "install/update/flush_behind.h"
#include "install/update/run_folder.h"
#include "install/update/update_record.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qv {

// One folder of the package at its place below the installation folder; the first is the
// installation folder itself.
struct UpdateFolder {
    std::wstring relative;
    std::wstring name;
    std::size_t parent = 0;
    HeldFolder held; // empty while it does not exist yet
    std::wstring finalPath;
    bool madeNow = false;
    SecurityDescriptor security; // its own, read or (for one still to be made) inherited
    SecurityDescriptor forFiles; // what it passes on to a new file
};

struct UpdateFile {
    std::wstring relative;
    std::wstring name;
    std::size_t folder = 0;
    std::uint64_t size = 0;
};

// What an update changes: every folder it writes into, the existing ones held, and every file.
struct UpdatePlan {
    std::vector<UpdateFolder> folders;
    std::vector<UpdateFile> files;
};

class FileUpdate {
public:
    // runFolderParent holds runFolder and outlives the update.
    FileUpdate(const HeldFolder& runFolderParent, HeldFolder runFolder,
               std::vector<char>& copyBuffer);
    FileUpdate(const FileUpdate&) = delete;
    FileUpdate& operator=(const FileUpdate&) = delete;

    // The whole update, its phases in order: every new file of `plan` from `source` (`staged`
    // told of each), the record, the folders still to be made, the names, the committed mark.
    // A close, a log-off or a shutdown asks it to stop at the next file, with the copy failure
    // for that file. Messages name places below `destination`; raises as the steps do.
    void apply(UpdatePlan& plan, const std::filesystem::path& source,
               const std::filesystem::path& destination,
               const std::function<void(const UpdateFile&)>& staged);

    // First phase; nothing below the installation folder changes.
    //
    // A copy of `source` as a new file in the run's folder, with the access rules of `security`
    // (none: what it inherits there), to land as `name` in the folder `folder` below the
    // installation folder
    // ('\'-separated, empty for the installation folder itself). Raises "Không sao chép được: " +
    // shown and the system's reason.
    void stageFile(const std::wstring& folder, const std::wstring& name,
                   const std::filesystem::path& source, const std::filesystem::path& shown,
                   PSECURITY_DESCRIPTOR security);
    // A folder below the installation folder that the second phase makes, for the record.
    void planFolder(const std::wstring& folder);
    // Makes the new files durable (the volume flushed, or where that is refused each new file),
    // then writes the record and makes it durable. Raises the copy failure for `shown`.
    void writeRecord(const std::filesystem::path& shown);

    // Second phase; names change.
    //
    // Makes `name` in `parent` and holds it in `slot` until the update ends; refuses anything
    // that appeared at that name meanwhile. `shown` is the folder's path for messages.
    void createFolder(HeldFolder& slot, const HeldFolder& parent, const std::wstring& name,
                      const std::filesystem::path& shown);
    // Gives the index-th staged file (0-based) its name in `folder` (the folder it was staged
    // for, whose final path is folderFinalPath; `folderIsNew` when this run made it, so that
    // nothing of the installation's can be at the name).
    void placeFile(std::size_t index, const HeldFolder& folder, const std::wstring& folderFinalPath,
                   bool folderIsNew, const std::filesystem::path& shown);
    // Records that every new file has its name; from here the update stands. A mark whose
    // writing fails is cut from the record again before this raises the copy failure, so that
    // the put-back that follows, or the next run should this one end during it, undoes it.
    void markCommitted(const std::filesystem::path& shown);

    struct PutBack {
        bool complete = true;
        std::vector<std::filesystem::path> keptOldCopies; // backups that could not go back
    };
    // Undoes everything: new files out, backups back, created folders removed. Never throws.
    // Where something cannot go back, the record and the run's folder stay as a run that ended
    // there would leave them, and the next run's recovery finishes the put-back.
    PutBack putBack() noexcept;

    // Keeps everything (after markCommitted): backups go, old copies still in use wait in the
    // run's folder. Never throws.
    void commit() noexcept;

    // A seam for tests: how the final path of an existing target is read (finalPathOf).
    void readFinalPathWith(std::wstring (*reader)(HANDLE)) { readFinalPath_ = reader; }
    // A seam for tests: how the put-back moves a file by handle (renameByHandle).
    void putBackWith(RenameByHandle rename) { rename_ = rename; }
    // A seam for tests: how the volume and single files are made durable.
    struct Durability {
        bool (*volumeOpens)(HANDLE folder) = volumeOpensFor;
        bool (*flushVolume)(HANDLE folder) = flushVolumeOf;
        FileFlush flushFile = ::FlushFileBuffers;
    };
    void makeDurableWith(const Durability& durability) { durability_ = durability; }

private:
    struct Placement {
        const HeldFolder* folder = nullptr;
        std::wstring name; // the package's spelling; the old file's own, once moved away
        UniqueFile staged; // the new file, until the update ends
        UniqueFile backup; // what was at the name, moved into the run's folder
        bool placed = false;
    };

    // The record, then everything in the run's folder but old copies still in use, and the
    // folder itself once nothing is left in it.
    void removeRunFolder() noexcept;

    const HeldFolder& runFolderParent_;
    HeldFolder runFolder_;
    NumberedFolders newFiles_{runFolder_, RunFolderPart::NewFiles};
    NumberedFolders oldCopies_{runFolder_, RunFolderPart::OldCopies};
    std::vector<char>& buffer_;
    std::vector<Placement> placements_;
    std::vector<std::pair<const HeldFolder*, HeldFolder*>> createdFolders_; // parent, folder
    UpdateRecord record_;
    UniqueFile recordFile_;
    std::wstring (*readFinalPath_)(HANDLE) = finalPathOf;
    Durability durability_;
    RenameByHandle rename_ = renameByHandle;
    // Where the volume cannot be flushed, each new file is, while the next ones are written.
    // Declared last: it is done with the new files' handles before they close.
    std::unique_ptr<FlushBehind> flushBehind_;
};

} // namespace qv
