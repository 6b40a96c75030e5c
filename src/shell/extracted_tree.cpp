#include "shell/extracted_tree.h"

#include "core/directory_walk.h"
#include "core/errors.h"
#include "core/guards.h"
#include "zip/crc32.h"
#include "zip/zip_names.h"

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <unordered_map>

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxPath = 260;
constexpr DWORD kReadSize = 256 * 1024;

// What the walk met that is not a folder.
struct FoundFile {
    std::wstring path;
    std::wstring relative;
    bool regular = false;
    bool listed = false;
};

// Opened for reading only, sharing everything: the Shell may still hold the file. A link is
// opened itself, never followed.
UniqueCreatedFile openForReading(const std::wstring& path) {
    return UniqueCreatedFile(::CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr /* default security */, OPEN_EXISTING,
        FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr /* no template */));
}

// What a file held when it was read once, whole.
struct FileRead {
    bool read = false;
    std::uint64_t size = 0;
    std::uint32_t crc32 = 0;
};

FileRead readWhole(const std::wstring& path, std::vector<unsigned char>& buffer) {
    const UniqueCreatedFile file = openForReading(path);
    FileRead result;
    if (!file) {
        return result;
    }
    DWORD got = 0;
    do {
        if (!::ReadFile(file.get(), buffer.data(), kReadSize, &got, nullptr /* synchronous */)) {
            return FileRead{};
        }
        result.crc32 = updateCrc32(result.crc32, buffer.data(), got);
        result.size += got;
    } while (got != 0);
    result.read = true;
    return result;
}

std::size_t lengthWithoutTrailingSeparators(std::wstring_view name) {
    std::size_t length = name.size();
    while (length > 0 && (name[length - 1] == L'/' || name[length - 1] == L'\\')) {
        --length;
    }
    return length;
}

} // namespace

TreeComparison compareExtractedTree(const fs::path& folder, const ZipEntryList& entries) {
    std::vector<FoundFile> found;
    std::unordered_map<std::wstring, std::size_t> byKey;
    const WalkResult walk = walkDirectory(
        folder, WalkOrder::FolderFirst, WalkErrors::Skip, [&](const WalkEntry& entry) {
            if (!entry.isFolder()) {
                found.push_back({std::wstring(entry.path), std::wstring(entry.relative),
                                 entry.isRegularFile(), false});
                byKey.emplace(windowsNameKey(entry.relative), found.size() - 1);
            }
            return true;
        });
    if (walk.error) {
        // A folder that could not be listed now may be listed on the next poll.
        return {TreeDifference::Contents, walk.failedFolder.wstring()};
    }

    const std::vector<ZipEntryRecord>& records = entries.records;
    std::vector<const FoundFile*> matches(records.size(), nullptr);
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].isFolder) {
            continue;
        }
        const std::wstring_view name = entries.nameOf(records[i]);
        const auto place = byKey.find(windowsNameKey(name));
        if (place == byKey.end() || !found[place->second].regular) {
            return {TreeDifference::Names, std::wstring(name)};
        }
        found[place->second].listed = true;
        matches[i] = &found[place->second];
    }
    for (const FoundFile& file : found) {
        if (!file.listed) {
            return {TreeDifference::Names, file.relative};
        }
    }

    // The bytes themselves decide, not the listing's size, which may lag behind a file
    // being written.
    std::vector<unsigned char> buffer(kReadSize);
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (matches[i] == nullptr) {
            continue;
        }
        const FileRead file = readWhole(matches[i]->path, buffer);
        if (!file.read || file.size != records[i].size || file.crc32 != records[i].crc32) {
            return {TreeDifference::Contents, std::wstring(entries.nameOf(records[i])), file.read,
                    file.size, file.crc32};
        }
    }
    return {};
}

bool sameReadDifference(const TreeComparison& a, const TreeComparison& b) {
    return a.difference == TreeDifference::Contents && b.difference == a.difference && a.read &&
           b.read && a.name == b.name && a.size == b.size && a.crc32 == b.crc32;
}

void checkExtractedPathLengths(const fs::path& folder, const ZipEntryList& entries) {
    std::wstring_view longest;
    std::size_t longestLength = 0;
    for (const ZipEntryRecord& entry : entries.records) {
        const std::wstring_view name = entries.nameOf(entry);
        const std::size_t length = lengthWithoutTrailingSeparators(name);
        if (length > longestLength) {
            longest = name;
            longestLength = length;
        }
    }
    // The folder, a separator, the name and the terminating null.
    if (longestLength > 0 &&
        fs::absolute(folder).wstring().size() + 1 + longestLength + 1 >= kMaxPath) {
        throw std::runtime_error("Đường dẫn trong ZIP quá dài: " +
                                 toUtf8(printableText(std::wstring(longest))));
    }
}

} // namespace qv
