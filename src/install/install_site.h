#pragma once
// The installation folder as the elevated run may trust it. The folder above the installation
// folder's parent is taken as the system gives it (C:\ for C:\Quorvalent\Start); the parent and
// the installation folder itself must be plain folders of their own, checked on their handles
// and held open while the run works in them. Any user may create C:\Quorvalent before the first
// installation or put links into it: a link there would send the administrator's writes
// wherever it points.
//
// The parent also holds the run's own folder (the installation folder's name with ".update-",
// the process id and a tick count): new files are written there first and old ones wait there
// until they can go. It lies beside the installation folder, so no package entry lands in it,
// and on the same volume, so every move between the two is a rename.

#include "core/held_folder.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// In a run's folder beside the installation: its record could not be read as one, so nobody can
// tell what its old copies belong to. Later runs leave such a folder alone.
inline constexpr wchar_t kKeptMark[] = L"kept";

struct InstallSite {
    HeldFolder base;        // taken as given; empty when the parent is a drive's root
    HeldFolder parent;      // where the run's own folder goes
    HeldFolder destination; // the installation folder
    std::wstring name;      // the installation folder's name, which the run's folders start with
    std::filesystem::path shown;  // the installation folder as the run names it to the person
    bool destinationMade = false; // made by this call
    bool parentMade = false;      // made by this call
};

// "Thư mục cài đặt không an toàn: " + the path.
[[noreturn]] void throwUnsafeFolder(const std::filesystem::path& path);

// Holds the installation folder and its parent, creating what is missing (never through a
// link). Something other than a plain folder of its own at either name raises the unsafe-folder
// message; any other failure raises creationFailure.
InstallSite holdInstallSite(const std::filesystem::path& destination,
                            const std::string& creationFailure);

// Creates and holds this run's own folder beside the installation folder, with the work folder's
// access rules (SYSTEM and Administrators only).
HeldFolder createRunFolder(const InstallSite& site);

// The names of every run's folder beside the installation folder (only names a run gives).
std::vector<std::wstring> runFolderNames(const InstallSite& site);

// Removes what the run's folder `name` beside the installation folder holds of the run's own (new
// files, old copies and their folders), then the folder when nothing else is left in it; a folder
// with a `kept` mark stays whole. Never throws.
void removeRunFolder(const InstallSite& site, const std::wstring& name) noexcept;

// Removes what earlier runs left beside the installation folder (old copies that were still in
// use), all but the one named `current` and any not owned as this process owns what it creates,
// without following any link. Whatever is still in use stays
// for the next run. Never throws.
void removeEarlierRunFolders(const InstallSite& site, const std::wstring& current) noexcept;

// Whether the open entry is the one at `name` in the folder of that final path, rather than
// what a link there leads to (a system may follow a link that it was asked to open as itself).
bool reachedByName(HANDLE entry, const std::wstring& folderFinalPath, std::wstring_view name);
// The same for the entry's final path, read already.
bool reachedByName(const std::wstring& entryFinalPath, const std::wstring& folderFinalPath,
                   std::wstring_view name);

// Every name in the open folder, read through its handle.
std::vector<std::wstring> namesIn(HANDLE folder);

// The "\\?\" form of an absolute path, which no path length limit applies to.
std::wstring extendedLengthPath(const std::filesystem::path& path);

} // namespace qv
