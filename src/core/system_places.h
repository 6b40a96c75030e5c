#pragma once
// Places the system names: the program's own path, special folders and the installation log's
// path. Every value is computed afresh on each call.

#include <filesystem>

namespace qv {

std::filesystem::path programPath();

// SHGetFolderPathW with CSIDL_FLAG_CREATE, so a missing folder is created.
std::filesystem::path specialFolderPath(int csidl);

// <common application data>\Quorvalent\Installer-Native.log
std::filesystem::path logFilePath();

} // namespace qv
