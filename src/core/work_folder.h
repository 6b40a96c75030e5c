#pragma once
// The run's work folder in TEMP: its name, its access rules, and its making and holding. Every
// value is computed afresh on each call.

#include "core/guards.h"
#include "core/scoped_folder.h"

#include <filesystem>
#include <string>

namespace qv {

// TEMP\QuorvalentInstallerNative-<pid>-<tick count>, created new in this run, readable and
// writable by SYSTEM and Administrators only, and held (TEMP with it) until the returned guard
// removes it: an unelevated program can neither adopt a folder of its own for the run nor swap
// the run's folder for one later. Its path is built on TEMP's final path, as HeldFolder names a
// held folder: a link on the way to TEMP that is pointed elsewhere later leads nothing there.
ScopedFolder createWorkDirectory();

// The work folder's access rules as SDDL: full control for SYSTEM and Administrators, passed on
// to everything created inside, nothing inherited from TEMP.
extern const wchar_t kWorkFolderSddl[];

// The self-relative security descriptor built from those rules; empty when it cannot be built.
UniqueLocalMemory workFolderSecurityDescriptor();

// The creation itself, for a given TEMP and name. TEMP is taken as it is, never created, and
// must be on a volume that keeps access rules. The folder is created and held in one call with
// the work folder's rules. A name that is taken (folder, file or link) is left as it is, and the
// name followed by "-" and eight random hexadecimal digits is tried instead, up to five names in
// all. Any failure raises "Không tạo được thư mục làm việc.".
ScopedFolder createWorkDirectoryAt(const std::filesystem::path& temp, const std::wstring& name);

// Makes the folder `name` new inside the work folder, with the work folder's rules, and returns
// its path. Any failure, a name that is taken included, raises "Không tạo được thư mục làm
// việc.".
std::filesystem::path createFolderInWorkFolder(const std::filesystem::path& workFolder,
                                               const std::wstring& name);

// The name of the work folder for a process id and tick count: kWorkFolderPrefix, the process
// id, "-" and the tick count.
std::wstring workDirectoryName(unsigned long processId, unsigned long long tickCount);
extern const wchar_t kWorkFolderPrefix[];

} // namespace qv
