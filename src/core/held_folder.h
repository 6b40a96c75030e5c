#pragma once
// Folders the elevated run trusts only while it holds them open.
//
// A folder's name proves nothing where an unelevated program may rename it away and put a
// folder or a link of its own at that name (anything directly in TEMP, C:\Quorvalent,
// C:\ProgramData\Quorvalent). A held folder was opened without following a link, its final
// path was checked on the handle to be exactly the expected one, and it stays open without
// FILE_SHARE_DELETE: nobody can rename, delete or replace it until the run lets go. A folder
// the run makes is created and opened in one call, so the folder held is the folder made.
//
// Children are opened relative to a held folder's handle, never by a path that could be
// resolved anew: the calls in core/handle_calls.h are the ones for that.
//
// Where a call can only take a path, the path is HeldFolder::path(), and it names the folder
// held, never the way the run was first told to it. A place taken as given (holdFolderAt) is
// named from the moment it is held by the final path of its handle: every link, junction and
// mapped drive on the way resolved, so a link that is pointed elsewhere later leads nothing of
// the run with it. Everything held below it is named by its parent's path and its own name,
// which is its final path too (checked on the handle for what existed, made relative to the
// handle for what is new). Windows does not let a folder be renamed while something inside it
// is open, and a link can only be retargeted where it is: with the folder held, no part of its
// final path can be changed to lead elsewhere. Every path the run builds below a held folder
// starts from path(); none starts again from the text it was given (TEMP as the user's settings
// spell it, a drive root, the common application-data folder).

#include "core/handle_calls.h"

#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace qv {

class HeldFolder {
public:
    HeldFolder() = default;
    // For the hold calls below, which name the folder by the rule above.
    HeldFolder(std::filesystem::path path, UniqueFile handle)
        : path_(std::move(path)), handle_(std::move(handle)) {}

    // The folder's real path, as above. The installation folder and the log are shown to the
    // person by the run's own texts for them, not by this.
    const std::filesystem::path& path() const { return path_; }
    HANDLE handle() const { return handle_.get(); }
    explicit operator bool() const { return static_cast<bool>(handle_); }

    // Lets go: from here on the folder may be renamed or replaced by anyone allowed to.
    void reset() { handle_.reset(); }

private:
    std::filesystem::path path_;
    UniqueFile handle_;
};

enum class HoldStatus {
    Held,
    Missing,         // nothing of that name (or its parent is missing)
    Exists,          // HoldMode::CreateNew: something of that name is there already
    NotAPlainFolder, // a link, a junction, a file, or a folder that is really somewhere else
    Failed,          // the system refused; see error
};

struct HoldResult {
    HoldStatus status = HoldStatus::Failed;
    DWORD error = ERROR_SUCCESS; // the system's code behind the status, when there is one
    HeldFolder folder;           // set when Held
};

// A place the run takes as given rather than makes or checks (a drive root, the common
// application-data folder, TEMP): opened by its path, links followed as the system follows
// them, and then held like any other, so that what the run finds below it stays below it. Held
// only when the final path of its handle can be read: that path is the folder's path() (in the
// "\\?\" form only when it is too long for a folder's path without it).
HoldResult holdFolderAt(const std::filesystem::path& path);

enum class HoldMode {
    OpenExisting, // only a folder that is there already
    CreateNew,    // only a folder made now; anything of that name is Exists
    OpenOrCreate, // the folder that is there, or a new one where nothing is
};

// `name` directly inside `parent`, opened relative to the parent's handle without following
// a link. An existing folder is held only when it is a plain folder whose final path is the
// parent's final path followed by the name (which also catches a system that follows a link
// when asked not to). A new one gets `security`, or with none the rules it inherits.
HoldResult holdChildFolder(const HeldFolder& parent, std::wstring_view name, HoldMode mode,
                           PSECURITY_DESCRIPTOR security = nullptr);

// holdChildFolder, with a handle that carries no DELETE access, for a folder that files are
// renamed into while it is held: Windows opens the folder a rename goes into sharing only read
// and write, so while a handle with DELETE access is open on it, every rename into it fails.
// Nobody can rename or delete the folder meanwhile all the same (the share mode denies delete);
// the run deletes it through a new handle once it has let go.
HoldResult holdChildFolderWithoutDelete(const HeldFolder& parent, std::wstring_view name,
                                        HoldMode mode, PSECURITY_DESCRIPTOR security = nullptr);

// As holdChildFolder with HoldMode::OpenExisting, but the handle carries no DELETE access: the
// folder is held all the same (nobody may rename or delete it meanwhile), and a process whose
// current folder it is, or that keeps it open, does not stand in the way. It cannot be deleted
// through this handle.
HoldResult holdExistingChildFolder(const HeldFolder& parent, std::wstring_view name);

// Folders are made only here, in one call with their hold, so the folder held is the folder made.

// Eight hexadecimal digits nobody can choose in advance, for a name that another program may
// otherwise take first.
std::wstring randomSuffix();

// `name` without a "-" and eight digits as randomSuffix() gives them at its end; `name` itself
// when it has none.
std::wstring_view withoutRandomSuffix(std::wstring_view name);

// A new folder inside `parent`, held without DELETE access (files are renamed into it) and made
// with `security`. A name someone took first is left as it is, and `name` followed by "-" and
// randomSuffix() is tried instead, up to `names` names in all: the result of the last name tried,
// Exists when every one was taken.
HoldResult createUniqueChildFolder(const HeldFolder& parent, const std::wstring& name,
                                   PSECURITY_DESCRIPTOR security, int names);

// The folder at `path` (absolute), made where missing. The deepest part of the path that exists
// is taken as given (holdFolderAt); each missing folder below it is made and held in turn, with
// the rules it inherits.
HoldResult holdFolderMadeAt(const std::filesystem::path& path);

// Whether the volume of the open file or folder keeps and enforces access rules (NTFS does;
// FAT, exFAT and many network shares do not, where a folder's rules protect nothing).
bool keepsAccessRules(HANDLE folder);

// Whether the folder opened from `given` lies on a disk of this machine: not a share, nor a
// drive mapped to one, nor reached through a link that leads to one. Whoever serves a share
// decides what its files hold whatever rules they carry.
bool isOnLocalDisk(const std::filesystem::path& given, HANDLE folder);

} // namespace qv
