#pragma once
// What the next run does about an update that a run did not live to finish (killed, a crash, a
// power cut), before anything else touches the installation: the update's record in that run's
// folder beside the installation folder (update_record.h) says what it changed.
//
// An update not marked committed is undone: each new file that took a name leaves it, each old
// copy goes back to its name, the folders the update made go when nothing else is in them, and
// then the run's folder. One marked committed stands: only its old copies and the record go.
// Everything goes through held folders and handles, with the checks of any placement: a new file
// is removed only when it is the very file the record names, and only where the name reaches it.
// A record that does not parse is treated as absent: its folder is kept, with a `kept` mark, as
// is a folder whose update could not be undone in full, and the run goes on.

#include "install/install_site.h"

namespace qv {

// Undoes or completes every earlier run's update beside the installation folder. Returns whether
// an interrupted update was undone. Never throws.
bool recoverInterruptedUpdates(const InstallSite& site) noexcept;

} // namespace qv
