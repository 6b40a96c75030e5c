#pragma once
// Where a run keeps things on disk: its work folder, the program's own path, special folders
// and the installation log. Every value is computed afresh on each call.

#include "core/guards.h"

#include <filesystem>
#include <string>

namespace qv {

// TEMP\QuorvalentInstallerNative-<pid>-<tick count>, created new in this run and readable and
// writable by SYSTEM and Administrators only. A folder of that name that already exists is
// refused: anything inside it could have been put there by an unelevated program.
std::filesystem::path createWorkDirectory();

// The work folder's access rules as SDDL: full control for SYSTEM and Administrators, passed on
// to everything created inside, nothing inherited from TEMP.
extern const wchar_t kWorkFolderSddl[];

// The self-relative security descriptor built from those rules; empty when it cannot be built.
UniqueLocalMemory workFolderSecurityDescriptor();

// The creation itself, for a given place: the parent is created when missing, the folder itself
// only new, with the work folder's access rules. Anything of that name that exists already
// (folder, file or link) raises "Không tạo được thư mục làm việc." and is left as it is.
void createWorkDirectoryAt(const std::filesystem::path& folder);

// The name of the work folder for a process id and tick count.
std::wstring workDirectoryName(unsigned long processId, unsigned long long tickCount);

std::filesystem::path programPath();

// SHGetFolderPathW with CSIDL_FLAG_CREATE, so a missing folder is created.
std::filesystem::path specialFolderPath(int csidl);

// <common application data>\Quorvalent\Installer-Native.log
std::filesystem::path logFilePath();

} // namespace qv
