#pragma once
// Work folders that earlier runs left in TEMP. A run removes its own when it ends, but one that
// was killed, crashed or lost its power never does: without this, TEMP would keep a folder,
// partial downloads included, for every such run.

#include "core/held_folder.h"

#include <string_view>

namespace qv {

// Whether `name` is one a run gives its work folder: the work folder's prefix, digits, "-" and
// digits, then nothing or "-" and eight lower-case hexadecimal digits (the random suffix).
bool isWorkFolderName(std::wstring_view name);

// Removes from `temp` every folder that has such a name, except `own` (this run's work folder),
// with everything below it, through the held-folder removal: a link at such a name goes as the
// link it is and is never followed. What cannot be removed (a folder another program still
// holds open, such as a running self-test's) stays, silently. Never throws.
void removeEarlierWorkFolders(const HeldFolder& temp, std::wstring_view own) noexcept;

} // namespace qv
