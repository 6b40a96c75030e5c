#pragma once

#include <filesystem>
#include <string>

namespace qv {

// Overlay copy of every file under source into destination: replaces files of the package,
// creates missing folders, deletes nothing.
void installFiles(const std::filesystem::path& source, const std::filesystem::path& destination,
                  const std::wstring& tag);

} // namespace qv
