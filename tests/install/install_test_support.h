#pragma once
// What the installation's tests share: a run of the installation with its console captured, and
// views of a tree that compare whole.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace qv::test {

// The first line of every installation's output.
extern const std::wstring kListing;

// Installs source over destination under the tag "Quorvalent" and returns the console output.
std::wstring installed(const std::filesystem::path& source,
                       const std::filesystem::path& destination);

// The same, returning the failure's message, or "<no exception>".
std::string installFailure(const std::filesystem::path& source,
                           const std::filesystem::path& destination);

// Every name and file's bytes under a folder ("<folder>" for folders), links not followed; an
// empty tree when nothing is there.
std::map<std::wstring, std::string> snapshot(const std::filesystem::path& root);

// The names directly in a folder, sorted.
std::vector<std::wstring> namesIn(const std::filesystem::path& folder);

} // namespace qv::test
