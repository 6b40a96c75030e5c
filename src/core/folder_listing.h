#pragma once
// The one listing of a folder: what the folder open as a handle holds, read from its start every
// time. A handle's listing otherwise goes on from where an earlier listing through it stopped,
// and would then miss entries without a word.

#include "core/handle_calls.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

struct ListedEntry {
    std::wstring name;
    DWORD attributes = 0;
    std::uint64_t size = 0; // the end of the file's data, as the listing tells it

    // The only kind of entry a walk enters (core/handle_calls.h).
    bool isPlainFolder() const { return qv::isPlainFolder(attributes); }
};

struct FolderListing {
    std::vector<ListedEntry> entries; // without "." and ".."
    DWORD error = ERROR_SUCCESS;      // the system's code when the listing failed
};

// Every entry of the folder open as `folder` (with FILE_LIST_DIRECTORY access, for synchronous
// I/O), read in full before the caller acts on any, so that the listing is never read while it
// changes.
FolderListing listFolderEntries(HANDLE folder);

} // namespace qv
