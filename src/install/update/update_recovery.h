#pragma once
// What the next run does about an update that a run did not live to finish (killed, a crash, a
// power cut), before anything else touches the installation: the update's record in that run's
// folder beside the installation folder (update_record.h) says what it changed.
//
// An update not marked committed is undone: each new file that took a name leaves it, each old
// copy goes back to its name, the folders the update made go when nothing else is in them, and
// then the run's folder. One marked committed stands: only its old copies and the record go.
// Everything goes through held folders and handles, with the checks of any placement: a new file
// is removed only when it is the very file the record names, and only where the name reaches it,
// and only once its old copy is at hand or surely absent (not found). An entry whose old copy
// cannot be held (another program has it open without sharing its deletion) keeps its new file,
// and the record stays, so that every later run tries again. A record that does not parse, or is
// larger than any record a run writes, is treated as absent: its folder is kept, with a `kept`
// mark, for an operator to look at. A folder or record not owned as this process owns what it
// creates is no run's: it is left alone and named in the log.

#include "install/install_site.h"
#include "install/update/run_folder_owner.h"

#include <string_view>

namespace qv {

// How the owner of an entry in an open folder is read (ownerOfChild, or a test's stand-in).
using OwnerReader = SidBytes (*)(HANDLE folder, std::wstring_view name);

// Undoes or completes every earlier run's update beside the installation folder. Returns whether
// an interrupted update was undone. An error in one run's folder does not stop the others; once
// all were tried, the first entry left undone raises "Không khôi phục được lần cài trước bị gián
// đoạn: " + the file (below site.shown) + ": " + the system's reason.
bool recoverInterruptedUpdates(const InstallSite& site, OwnerReader ownerOf = ownerOfChild);

} // namespace qv
