#pragma once
// The stand-in's slow copies, on a thread of their own, as a Shell copy that goes on after
// CopyHere has returned.

#include <windows.h>

#include <filesystem>

namespace qv::test {

// Unpacks archive into destination on a new thread, pausing delayMilliseconds after each file;
// with lastFileOnly, only the last file's bytes, after one pause. The DLL stays loaded and
// locked until the copy is done.
HRESULT startBackgroundExtraction(const std::filesystem::path& archive,
                                  const std::filesystem::path& destination, bool lastFileOnly,
                                  DWORD delayMilliseconds);

// Counts a lock on the DLL (or lets one go): it is not unloaded while one is held.
void lockServer(bool lock);

} // namespace qv::test
