#pragma once
// The rules for a ZIP entry's name: which names could escape the extraction folder, and which
// Windows cannot store as written (device names, trailing dots and blanks, forbidden
// characters, over-long segments).

#include <string>
#include <string_view>

namespace qv {

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
