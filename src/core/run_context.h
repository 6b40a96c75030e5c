#pragma once
// Where a run keeps things on disk: its work folder, the program's own path, special folders
// and the installation log. Every value is computed afresh on each call.

#include <filesystem>
#include <string>

namespace qv {

// TEMP\QuorvalentInstallerNative-<pid>-<tick count>, created with missing parents.
std::filesystem::path createWorkDirectory();

// The name of the work folder for a process id and tick count.
std::wstring workDirectoryName(unsigned long processId, unsigned long long tickCount);

std::filesystem::path programPath();

// SHGetFolderPathW with CSIDL_FLAG_CREATE, so a missing folder is created.
std::filesystem::path specialFolderPath(int csidl);

// <common application data>\Quorvalent\Installer-Native.log
std::filesystem::path logFilePath();

} // namespace qv
