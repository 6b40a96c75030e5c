#pragma once

#include <filesystem>

namespace qv {

// Writes a shell link to target (working folder = target's folder, icon = target's first
// icon, description "Mở Quorvalent") at linkFile. COM must be initialised on this thread.
void createShortcut(const std::filesystem::path& target, const std::filesystem::path& linkFile);

} // namespace qv
