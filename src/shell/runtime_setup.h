#pragma once
// The prerequisite runtime: detection, finding its setup program, launch-and-wait.

#include <filesystem>
#include <string>

namespace qv {

bool isPrerequisiteRuntimePresent();

// The first regular file below root whose name equals fileName ignoring case, or an empty path.
std::filesystem::path findFileByName(const std::filesystem::path& root,
                                     const std::wstring& fileName);

// Starts the setup program and waits, without a time limit, until its process has ended.
void runSetupAndWait(const std::filesystem::path& setupProgram);

} // namespace qv
