#include "zip/zip_verifier.h"

#include "core/errors.h"
#include "core/file_io.h"
#include "zip/place_table.h"
#include "zip/zip_names.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace qv {
namespace {

constexpr std::uint32_t kEndRecordSignature = 0x06054B50;
constexpr std::uint32_t kDirectoryRecordSignature = 0x02014B50;
constexpr std::uint64_t kEndRecordSize = 22;
// An end record followed by the longest comment it can announce.
constexpr std::uint64_t kTailWindowLimit = kEndRecordSize + 0xFFFF;
constexpr std::size_t kDirectoryRecordSize = 46;
constexpr std::size_t kNameRoomPerEntry = 256;
constexpr std::uint16_t kFlagEncrypted = 0x0001;
// Values that mean "see the ZIP64 record or extra field".
constexpr std::uint16_t kZip64Marker16 = 0xFFFF;
constexpr std::uint32_t kZip64Marker32 = 0xFFFFFFFF;

const char kNoEndRecord[] = "Không tìm thấy thư mục trung tâm của ZIP.";
const char kBadDirectoryBounds[] = "Thông tin thư mục trung tâm ZIP không hợp lệ.";
const char kBadEntryLengths[] = "Thông tin mục ZIP không hợp lệ.";

std::uint16_t readUint16(const unsigned char* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::uint32_t readUint32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// A record whose sizes, local-header offset or start disk say "see the ZIP64 extra field":
// taken at its 32-bit word, such an entry would promise 4 GB that never arrive.
bool hasZip64Marker(const unsigned char* header) {
    return readUint32(header + 20) == kZip64Marker32 || readUint32(header + 24) == kZip64Marker32 ||
           readUint32(header + 42) == kZip64Marker32 || readUint16(header + 34) == kZip64Marker16;
}

[[noreturn]] void refuse(const std::string& message) {
    throw std::runtime_error(message);
}

// The end record is the last signature in the tail, and only when its comment ends exactly at
// the end of the file: a reader that takes the last signature and one that checks the comment's
// length then take the same record, and nothing follows it that another reader could take for
// the archive. A signature too close to the end for a record, or an earlier one whose comment
// would end the file too (a second archive inside the comment), is a second reading: refused.
std::size_t findEndRecord(const std::vector<unsigned char>& tail) {
    const unsigned char* bytes = tail.data();
    const auto isSignature = [&](std::size_t p) {
        return readUint32(bytes + p) == kEndRecordSignature;
    };
    const auto endsTheFile = [&](std::size_t p) {
        return p + kEndRecordSize <= tail.size() &&
               p + kEndRecordSize + readUint16(bytes + p + 20) == tail.size();
    };
    std::size_t record = tail.size() - 4;
    while (record > 0 && !isSignature(record)) {
        --record;
    }
    if (!isSignature(record) || !endsTheFile(record)) {
        refuse(kNoEndRecord);
    }
    for (std::size_t p = record; p-- > 0;) {
        if (isSignature(p) && endsTheFile(p)) {
            refuse(kNoEndRecord);
        }
    }
    return record;
}

// Stored, deflated and deflate64: what the Shell's ZIP folder unpacks.
bool isShellCompression(std::uint16_t method) {
    return method == 0 || method == 8 || method == 9;
}

// Walks the central directory front to back through one buffer no larger than the tail window.
// The walk starts with the tail still in the buffer, so a small archive is never read twice;
// skipping a comment inside the buffer costs neither a system call nor a re-read. Every request
// is checked against the directory's end first, so a lying length can never make it read, or
// wait, beyond the directory: the records are only what lies between its two ends.
struct DirectoryCursor {
    HANDLE file;
    std::uint64_t limit;                // the directory's end
    std::vector<unsigned char>& buffer; // holds file bytes [bufferStart, bufferStart + filled)
    std::uint64_t bufferStart;
    std::size_t filled;
    std::uint64_t position;

    bool refill() {
        const std::uint64_t available = limit - position;
        const auto wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(available, buffer.size()));
        if (wanted == 0 || !readExactlyAt(file, position, buffer.data(), wanted)) {
            filled = 0;
            return false;
        }
        bufferStart = position;
        filled = wanted;
        return true;
    }

    bool read(unsigned char* out, std::size_t count) {
        if (count > limit - position) {
            return false;
        }
        while (count > 0) {
            if (position < bufferStart || position >= bufferStart + filled) {
                if (!refill()) {
                    return false;
                }
            }
            const auto offset = static_cast<std::size_t>(position - bufferStart);
            const std::size_t chunk = std::min(count, filled - offset);
            std::memcpy(out, buffer.data() + offset, chunk);
            out += chunk;
            count -= chunk;
            position += chunk;
        }
        return true;
    }

    // Landing exactly on the directory's end is allowed; beyond it the bytes are no record's.
    bool skip(std::uint64_t count) {
        if (count > limit - position) {
            return false;
        }
        position += count;
        return true;
    }
};

} // namespace

ZipSummary verifyZipArchive(const std::filesystem::path& archive) {
    return verifyZipArchive(archive, systemCodePages());
}

ZipSummary verifyZipArchive(const std::filesystem::path& archive, const NameCodePages& codePages) {
    const UniqueCreatedFile file = openFileForReading(archive.native());
    if (!file) {
        refuse("Không mở được ZIP: " + toUtf8(archive.wstring()));
    }

    const std::optional<std::uint64_t> size = fileSizeOf(file.get());
    if (!size) {
        refuse("Không đọc được cuối file ZIP.");
    }
    const std::uint64_t fileSize = *size;
    if (fileSize < kEndRecordSize) {
        refuse("File ZIP quá ngắn hoặc bị hỏng.");
    }

    const std::uint64_t window = std::min(fileSize, kTailWindowLimit);
    const std::uint64_t windowStart = fileSize - window;
    std::vector<unsigned char> buffer(static_cast<std::size_t>(window));
    if (!readExactlyAt(file.get(), windowStart, buffer.data(), buffer.size())) {
        refuse("Không đọc được cuối file ZIP.");
    }

    const unsigned char* record = buffer.data() + findEndRecord(buffer);
    if (readUint16(record + 4) != 0 || readUint16(record + 6) != 0) {
        refuse("Không hỗ trợ ZIP nhiều đĩa.");
    }
    const std::uint16_t entryCount = readUint16(record + 10);
    const std::uint32_t directorySize = readUint32(record + 12);
    const std::uint32_t directoryOffset = readUint32(record + 16);
    if (entryCount == kZip64Marker16 || directorySize == kZip64Marker32 ||
        directoryOffset == kZip64Marker32) {
        refuse("Không hỗ trợ ZIP64 cho gói cài đặt này.");
    }
    // The directory ends where the end record begins, and its records fill it: readers that
    // walk by the count and readers that walk by the size see the same entries. On one disk,
    // the count of the records on it is the count of them all: readers take either.
    const std::uint64_t directoryEnd = std::uint64_t{directoryOffset} + directorySize;
    if (readUint16(record + 8) != entryCount ||
        directoryEnd != windowStart + static_cast<std::uint64_t>(record - buffer.data())) {
        refuse(kBadDirectoryBounds);
    }

    DirectoryCursor cursor{file.get(),  directoryEnd,  buffer,
                           windowStart, buffer.size(), directoryOffset};
    // The names take no more characters than the directory has bytes beyond its records' fixed
    // fields; room made for them now spares the buffers growing, and being copied, on the way
    // (fresh memory is a good part of the walk's cost). Not more than kNameRoomPerEntry an
    // entry, should the directory hold mostly comments.
    const std::uint64_t fixedFields = std::uint64_t{kDirectoryRecordSize} * entryCount;
    const auto nameRoom = static_cast<std::size_t>(
        std::min<std::uint64_t>(directorySize > fixedFields ? directorySize - fixedFields : 0,
                                std::uint64_t{kNameRoomPerEntry} * entryCount));
    ZipSummary summary;
    summary.entries.records.reserve(entryCount);
    summary.entries.names.reserve(nameRoom);
    PlaceTable places(entryCount, nameRoom);
    unsigned char header[kDirectoryRecordSize];
    std::string rawName;
    std::string extra;
    for (std::uint32_t entry = 0; entry < entryCount; ++entry) {
        if (!cursor.read(header, sizeof header) ||
            readUint32(header) != kDirectoryRecordSignature) {
            refuse("Mục trong thư mục trung tâm ZIP bị hỏng.");
        }
        const std::uint16_t flags = readUint16(header + 8);
        if ((flags & kFlagEncrypted) != 0) {
            refuse("Không hỗ trợ ZIP được mã hóa.");
        }
        if (hasZip64Marker(header)) {
            refuse("Không hỗ trợ ZIP64 cho gói cài đặt này.");
        }
        const std::uint16_t nameLength = readUint16(header + 28);
        if (nameLength == 0) {
            refuse("ZIP chứa tên file trống.");
        }
        rawName.resize(nameLength);
        if (!cursor.read(reinterpret_cast<unsigned char*>(rawName.data()), nameLength)) {
            refuse("Không đọc được tên file trong ZIP.");
        }
        // The extra field is read from the buffer the cursor holds; the comment is skipped.
        extra.resize(readUint16(header + 30));
        if (!cursor.read(reinterpret_cast<unsigned char*>(extra.data()), extra.size()) ||
            !cursor.skip(readUint16(header + 32))) {
            refuse(kBadEntryLengths);
        }

        places.prepare(rawName);
        const std::wstring name = readEntryName(rawName, flags, extra, codePages);
        const std::uint16_t method = readUint16(header + 10);
        if (!isShellCompression(method)) {
            refuse("Không hỗ trợ phương thức nén trong ZIP: " + std::to_string(method) + " (" +
                   toUtf8(printableText(name)) + ")");
        }
        const bool isFolder = isDirectoryName(name);
        if (!places.add(name, isFolder)) {
            refuse("ZIP chứa tên trùng nhau: " + toUtf8(printableText(name)));
        }
        const std::uint32_t size = readUint32(header + 24);
        if (!isFolder) {
            ++summary.fileCount;
            summary.totalBytes += size;
        }
        summary.entries.add(name, size, readUint32(header + 16), isFolder);
    }

    if (cursor.position != directoryEnd) {
        refuse(kBadDirectoryBounds);
    }
    if (summary.fileCount == 0) {
        refuse("ZIP không có file dữ liệu.");
    }
    return summary;
}

} // namespace qv
