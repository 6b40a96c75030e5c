#pragma once
// The prerequisite runtime: detection, finding its setup program, launch-and-wait, and the
// installer steps that bring them together.

#include <filesystem>
#include <string>

namespace qv {

bool isPrerequisiteRuntimePresent();

// The first regular file below root whose name equals fileName ignoring case, or an empty path.
std::filesystem::path findFileByName(const std::filesystem::path& root,
                                     const std::wstring& fileName);

// Steps 7 to 9: when the runtime is missing, download its package from packageUrl into
// workFolder, verify and extract it, and run its setup program until it closes.
void ensurePrerequisiteRuntime(const std::filesystem::path& workFolder,
                               const std::wstring& packageUrl);

// Starts the setup program and waits, without a time limit, until its process has ended.
void runSetupAndWait(const std::filesystem::path& setupProgram);

} // namespace qv
