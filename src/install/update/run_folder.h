#pragma once
// The run's own folder beside the installation folder, and the one place its layout is spelled.
// It lies beside the installation folder, so no package entry lands in it, and on the same
// volume, so every move between the two is a rename. Its name is the installation folder's with
// ".update-", the process id and a tick count ("Start.update-<process>-<tick>", with "-<attempt>"
// when that name was taken), and it holds:
// - "new-K": the new files, file number N (1-based, in the record's order) as "N";
// - "old-K": the old copies moved aside from their names, numbered likewise;
// - "update-record" (its text: update_record.h), and "update-record.new" while it is written;
// - "kept": a mark that the folder is an operator's to look at, which later runs leave alone.
// "new-K" and "old-K" hold a hundred files each (K is 1 for files 1 to 100): a file system that
// matches names without regard to case by reading the whole folder makes each new name cost as
// much as the folder is large.

#include "core/held_folder.h"
#include "install/install_site.h"
#include "install/update/update_record.h"

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

inline constexpr wchar_t kUpdateRecordName[] = L"update-record";
// The record while it is being written: a run that ends before it is complete leaves no record
// at all, only this, which later runs remove with the rest of the run's folder.
inline constexpr wchar_t kUnfinishedRecordName[] = L"update-record.new";
// Its record could not be read as one, so nobody can tell what its old copies belong to.
inline constexpr wchar_t kKeptMark[] = L"kept";

// File number N's name in its folder of new files or of old copies.
std::wstring numberedName(std::size_t number);

// How a file is moved by handle (renameByHandle, or a test's stand-in).
using RenameByHandle = DWORD (*)(HANDLE file, HANDLE folder, std::wstring_view name, bool replace);

enum class RunFolderPart { NewFiles, OldCopies };

// The folders of one part ("new-K" or "old-K") of the run's folder `run`, held as they are made
// or found. Files are renamed into them while they are held (see holdChildFolderWithoutDelete).
class NumberedFolders {
public:
    NumberedFolders(const HeldFolder& run, RunFolderPart part) : run_(run), part_(part) {}

    // The folder file number N goes into, made now where this has not made it yet, with the
    // work folder's rules as the run's folder itself. Null where it cannot be made, with the
    // system's error code in `error` (ERROR_ALREADY_EXISTS where something took the name).
    HANDLE make(std::size_t number, DWORD& error);
    // The folder file number N is in, as a run left it: Held, or Missing when it is not there.
    const HoldResult& find(std::size_t number);
    // The folder file number N is in, once made or found; null before.
    const HeldFolder* heldFor(std::size_t number) const;
    // Each folder held, with what is in it but files still in use, as removeHeldFolder removes
    // it; then lets go of every folder. Never throws.
    void remove() noexcept;
    void release() noexcept { held_.clear(); }

private:
    const HeldFolder& run_;
    RunFolderPart part_;
    std::map<std::size_t, HoldResult> held_; // by K
};

// Moves the new file number N, held as `file`, from its name back into `newFiles`, its folder of
// new files: as "N", or, where another program has taken that name meanwhile (the run's folder
// is open to them), under a name nobody can guess. Returns the system's error code, 0 once the
// file has left its name. Never throws.
DWORD moveNewFileAside(HANDLE file, HANDLE newFiles, std::size_t number,
                       RenameByHandle rename) noexcept;

// Creates and holds this run's own folder beside the installation folder, with the work folder's
// access rules (SYSTEM and Administrators only).
HeldFolder createRunFolder(const InstallSite& site);

// The names of every run's folder beside the installation folder (only names a run gives).
std::vector<std::wstring> runFolderNames(const InstallSite& site);

// Writes `text` as the run's record: first as "update-record.new", made durable through `flush`,
// then renamed to its name, so that a record found is whole. Returns the system's error code, 0
// once `record` holds it, open for appending.
DWORD writeRecordFile(const HeldFolder& run, std::wstring_view text, FileFlush flush,
                      UniqueFile& record);
// The run's record, opened as itself for reading and deletion.
RelativeOpen openRecordFile(const HeldFolder& run);

// Marks the run's folder kept. Returns the system's error code, 0 once the mark is there.
DWORD markKept(const HeldFolder& run);
// Takes the mark away again, where there is one.
void removeKeptMark(const HeldFolder& run);

// Removes what the run's folder `name` beside the installation folder holds of the run's own (new
// files, old copies and their folders), then the folder when nothing else is left in it; a folder
// with a `kept` mark stays whole. Never throws.
void removeRunFolder(const InstallSite& site, const std::wstring& name) noexcept;

// Removes what earlier runs left beside the installation folder (old copies that were still in
// use), all but the one named `current` and any not owned as this process owns what it creates,
// without following any link. Whatever is still in use stays for the next run. Never throws.
void removeEarlierRunFolders(const InstallSite& site, const std::wstring& current) noexcept;

} // namespace qv
