#pragma once

#include <filesystem>
#include <string>

namespace qv {

// Raises message unless program is a regular file (a missing file or a folder of that name).
void requireMainProgram(const std::filesystem::path& program, const char* message);

// Steps 2 to 5: download and verify the application package into workFolder, extract it,
// check for Quorvalent.exe, overlay it into installFolder and check again.
void installPackage(const std::filesystem::path& workFolder,
                    const std::filesystem::path& installFolder, const std::wstring& packageUrl);

} // namespace qv
