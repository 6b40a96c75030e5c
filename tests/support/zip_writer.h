#pragma once
// Writes ZIP central directories byte by byte for tests: every field the verifier reads can be
// chosen, including values that contradict the bytes actually written (lying lengths, counts,
// offsets), so that each structural case is one short description.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qv::ziptest {

struct ZipEntry {
    std::string name;
    std::uint32_t uncompressedSize = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::string extra;
    std::string comment;
    std::uint32_t signature = 0x02014B50;
    std::optional<std::uint32_t> compressedSize; // unset: as if stored
    std::uint16_t startDisk = 0;
    std::uint32_t localHeaderOffset = 0;
    // When set, written instead of the true lengths of name, extra and comment.
    std::optional<std::uint16_t> nameLength;
    std::optional<std::uint16_t> extraLength;
    std::optional<std::uint16_t> commentLength;
};

struct ZipLayout {
    // Stand-in for local headers and data: the verifier never looks at them.
    std::string leading;
    std::vector<ZipEntry> entries;
    std::uint16_t disk = 0;
    std::uint16_t startDisk = 0;
    // When unset: the true count, the true directory size and where the directory starts.
    std::optional<std::uint16_t> entryCount;
    std::optional<std::uint16_t> entryCountOnDisk; // when unset: entryCount
    std::optional<std::uint32_t> directorySize;
    std::optional<std::uint32_t> directoryOffset;
    std::string comment;
    std::optional<std::uint16_t> commentLength;
    // Bytes after the end record's comment.
    std::string trailing;
};

inline void putUint16(std::string& out, std::uint32_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

inline void putUint32(std::string& out, std::uint32_t value) {
    putUint16(out, value & 0xFFFF);
    putUint16(out, value >> 16);
}

inline std::uint16_t lengthOf(const std::string& bytes) {
    return static_cast<std::uint16_t>(bytes.size());
}

inline std::string directoryRecord(const ZipEntry& entry) {
    std::string out;
    putUint32(out, entry.signature);
    putUint16(out, 20); // version made by
    putUint16(out, 20); // version needed
    putUint16(out, entry.flags);
    putUint16(out, entry.method);
    putUint32(out, 0); // time and date
    putUint32(out, 0); // CRC-32
    putUint32(out, entry.compressedSize.value_or(entry.uncompressedSize));
    putUint32(out, entry.uncompressedSize);
    putUint16(out, entry.nameLength.value_or(lengthOf(entry.name)));
    putUint16(out, entry.extraLength.value_or(lengthOf(entry.extra)));
    putUint16(out, entry.commentLength.value_or(lengthOf(entry.comment)));
    putUint16(out, entry.startDisk);
    putUint16(out, 0); // internal attributes
    putUint32(out, 0); // external attributes
    putUint32(out, entry.localHeaderOffset);
    return out + entry.name + entry.extra + entry.comment;
}

inline std::string endRecord(const ZipLayout& layout, std::uint32_t directoryOffset,
                             std::uint32_t directorySize) {
    std::string out;
    putUint32(out, 0x06054B50);
    putUint16(out, layout.disk);
    putUint16(out, layout.startDisk);
    const auto count =
        layout.entryCount.value_or(static_cast<std::uint16_t>(layout.entries.size()));
    putUint16(out, layout.entryCountOnDisk.value_or(count));
    putUint16(out, count);
    putUint32(out, layout.directorySize.value_or(directorySize));
    putUint32(out, layout.directoryOffset.value_or(directoryOffset));
    putUint16(out, layout.commentLength.value_or(lengthOf(layout.comment)));
    return out + layout.comment;
}

inline std::string buildZip(const ZipLayout& layout) {
    std::string directory;
    for (const ZipEntry& entry : layout.entries) {
        directory += directoryRecord(entry);
    }
    const auto offset = static_cast<std::uint32_t>(layout.leading.size());
    const auto size = static_cast<std::uint32_t>(directory.size());
    return layout.leading + directory + endRecord(layout, offset, size) + layout.trailing;
}

inline ZipEntry entry(std::string name, std::uint32_t uncompressedSize = 0,
                      std::uint16_t flags = 0) {
    ZipEntry made;
    made.name = std::move(name);
    made.uncompressedSize = uncompressedSize;
    made.flags = flags;
    return made;
}

// An Info-ZIP Unicode Path extra field (0x7075) naming the entry: version 1, a CRC-32 of the
// header's name that nothing checks, the UTF-8 name.
inline std::string unicodePathField(const std::string& name) {
    std::string out;
    putUint16(out, 0x7075);
    putUint16(out, static_cast<std::uint32_t>(5 + name.size()));
    out.push_back('\x01');
    putUint32(out, 0);
    return out + name;
}

// The usual shape: some data, then one record per name with the given sizes.
inline ZipLayout simpleLayout(const std::vector<std::pair<std::string, std::uint32_t>>& files) {
    ZipLayout layout;
    layout.leading = std::string(64, 'd');
    for (const auto& [name, size] : files) {
        layout.entries.push_back(entry(name, size));
    }
    return layout;
}

} // namespace qv::ziptest
