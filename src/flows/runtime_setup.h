#pragma once
// The prerequisite runtime: detection, finding its setup program, launch-and-wait, and the
// installer steps that bring them together.

#include <filesystem>
#include <optional>
#include <string>

namespace qv {

// True when the runtime's client program is a regular file at either detection path.
bool isPrerequisiteRuntimePresent();

// The first regular file below root whose name equals fileName ignoring case, or an empty path.
std::filesystem::path findFileByName(const std::filesystem::path& root,
                                     const std::wstring& fileName);

// Steps 7 to 9: when the runtime is missing, download its package from packageUrl into
// workFolder, verify and extract it, and run its setup program until it closes, with a new
// folder "tmp" of the work folder's as its TEMP. Throws unless the setup ended with a success
// code (0, 3010, 1641) and the runtime is present afterwards.
void ensurePrerequisiteRuntime(const std::filesystem::path& workFolder,
                               const std::wstring& packageUrl);

// Starts the setup program (exactly that file, in its own folder, with TEMP and TMP naming
// temporaryFolder and the rest of this process's environment) and waits, without a time limit
// and handling this thread's messages, until its process has ended. Returns its exit code, or
// nothing when that cannot be read.
std::optional<unsigned long> runSetupAndWait(const std::filesystem::path& setupProgram,
                                             const std::filesystem::path& temporaryFolder);

} // namespace qv
