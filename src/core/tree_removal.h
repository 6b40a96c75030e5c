#pragma once
// Removal below a folder the run holds open, through handles only. Every entry is opened
// relative to its folder's handle without following a link, and deleted through that handle
// only when the handle's final path is the folder's own followed by the entry's name: a link is
// removed as the link it is, and where the system follows a link although asked not to (the
// final path then leads elsewhere), the entry is left alone, since deleting through such a
// handle would delete what it leads to. A folder is entered only through such a handle, held
// while it is emptied, so that nothing put in its place meanwhile is entered instead.

#include "core/held_folder.h"

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string_view>

namespace qv {

// Everything inside the folder open as `folder` (with FILE_LIST_DIRECTORY access); the folder
// itself stays. Whatever cannot be removed (a file open elsewhere) stays too. Never throws.
void removeContents(HANDLE folder) noexcept;

// `name` inside the folder open as `parent`, with everything below it. Never throws.
void removeChild(HANDLE parent, std::wstring_view name) noexcept;

// Each entry directly inside the folder open as `parent` (with FILE_LIST_DIRECTORY access) that
// `chosen` accepts by its name and listed attributes, as removeChild removes it; the rest
// stays. Never throws.
void removeChildrenWhere(HANDLE parent,
                         const std::function<bool(std::wstring_view, DWORD)>& chosen) noexcept;

// Removes path and everything below it as removeChild does, the folder that holds path opened
// by its name: a link is deleted itself, never what it points to. Read-only files are removed
// too. Errors are ignored; whatever cannot be removed stays. Never throws.
void removeTree(const std::filesystem::path& path) noexcept;

// The held folder's contents, then the folder itself, which is left held by no one: `folder`
// is let go, and the name is deleted through a new handle relative to `parent` when it is still
// an empty plain folder at its place. Never throws.
void removeHeldFolder(const HeldFolder& parent, HeldFolder& folder) noexcept;

// The same without removing anything inside: a folder that is not empty stays. Never throws.
void removeHeldFolderIfEmpty(const HeldFolder& parent, HeldFolder& folder) noexcept;

} // namespace qv
