#pragma once
// The installation folder as the elevated run may trust it. The folder above the installation
// folder's parent is taken as the system gives it (C:\ for C:\Quorvalent\Start); the parent and
// the installation folder itself must be plain folders of their own, checked on their handles
// and held open while the run works in them. Any user may create C:\Quorvalent before the first
// installation or put links into it: a link there would send the administrator's writes
// wherever it points.
//
// The parent also holds the run's own folder, where the update writes new files first and old
// ones wait until they can go (update/run_folder.h).

#include "core/held_folder.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

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

// The folder held, or: "Thư mục cài đặt không an toàn: " + path where something other than a
// plain folder of its own is at its name, `failure` for anything else.
HeldFolder requireHeld(HoldResult held, const std::filesystem::path& path,
                       const std::string& failure);

// Holds the installation folder and its parent, creating what is missing (never through a
// link). Something other than a plain folder of its own at either name raises the unsafe-folder
// message; any other failure raises creationFailure.
InstallSite holdInstallSite(const std::filesystem::path& destination,
                            const std::string& creationFailure);

// Whether the open entry is the one at `name` in the folder of that final path, rather than
// what a link there leads to (a system may follow a link that it was asked to open as itself).
bool reachedByName(HANDLE entry, const std::wstring& folderFinalPath, std::wstring_view name);
// The same for the entry's final path, read already.
bool reachedByName(const std::wstring& entryFinalPath, const std::wstring& folderFinalPath,
                   std::wstring_view name);

} // namespace qv
