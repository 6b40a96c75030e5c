#pragma once
// Whole files and positioned reads by path, through the system's own calls: files are opened as
// the C runtime opens them (reading and writing shared with others, deletion not), without the
// C++ streams and the locale machinery they bring into the program.

#include "core/guards.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

// An existing file opened for reading; empty when it cannot be opened (a folder included).
UniqueCreatedFile openFileForReading(const std::wstring& path);

// The file's size in bytes; nothing when the system cannot tell.
std::optional<std::uint64_t> fileSizeOf(HANDLE file);

// Exactly `count` bytes from `offset` on into `into`; false when fewer are there or a read fails.
bool readExactlyAt(HANDLE file, std::uint64_t offset, void* into, std::size_t count);

// Everything the file holds; nothing when it cannot be opened or read.
std::optional<std::string> readWholeFile(const std::wstring& path);

// Creates the file or empties the one of that name, then writes `bytes` to it; false when the
// file cannot be opened or not every byte is written.
bool writeWholeFile(const std::wstring& path, std::string_view bytes);

} // namespace qv
