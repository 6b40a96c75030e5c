#pragma once
// The rules for a ZIP entry's name: which names could escape the extraction folder, and which
// Windows cannot store as written (device names, trailing dots and blanks, forbidden
// characters, over-long segments).

#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

// The two code pages a name without the UTF-8 flag may be read in: the ANSI one, which this
// verifier reads it in, and the OEM one, which the Shell's ZIP folder writes it in.
struct NameCodePages {
    unsigned ansi = 0;
    unsigned oem = 0;
};

// This system's: GetACP() and GetOEMCP().
NameCodePages systemCodePages();

// An entry's name from its raw bytes, its general-purpose flags and its extra field: UTF-8 when
// flagged, else in `pages.ansi`. Refuses with "Đã chặn đường dẫn không an toàn trong ZIP: " a
// name that is not safe, or whose Info-ZIP Unicode Path field names it otherwise; with
// "Tên file trong ZIP không rõ bảng mã: " a name without the flag that holds a byte above 0x7F
// where the two code pages differ, since the Shell would write it under another name than the
// one checked here. Refused names are echoed printably.
std::wstring readEntryName(const std::string& raw, std::uint16_t flags, const std::string& extra,
                           const NameCodePages& pages);

// Taken by value: the caller's name is left as it was.
bool isSafeZipPath(std::wstring name);

// The same rules on a view, for the verifier's walk: no copy of every name.
bool isSafeZipName(std::wstring_view name);

// A name that ends in a separator is a folder entry.
bool isDirectoryName(std::wstring_view name);

// The name as Windows compares file names: separators unified, empty segments and a trailing
// separator dropped, letters upper-cased by the file system's rules (ordinal, invariant). Two
// names with one key name one place.
std::wstring windowsNameKey(std::wstring_view name);

} // namespace qv
