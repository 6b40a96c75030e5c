#include "zip/zip_verifier.h"

#include "core/errors.h"
#include "zip/place_table.h"
#include "zip/zip_names.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <fstream>
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
constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagUtf8Name = 0x0800;
// Values that mean "see the ZIP64 record or extra field".
constexpr std::uint16_t kZip64Marker16 = 0xFFFF;
constexpr std::uint32_t kZip64Marker32 = 0xFFFFFFFF;

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

// Walks the central directory front to back through one buffer no larger than the tail window.
// The walk starts with the tail still in the buffer, so a small archive is never read twice;
// skipping an extra field or comment inside the buffer costs neither a system call nor a
// re-read. Every request is checked against the file size first, so a lying length can never
// make it read, or wait, beyond the end of the file.
struct DirectoryCursor {
    std::ifstream& file;
    std::uint64_t fileSize;
    std::vector<unsigned char>& buffer; // holds file bytes [bufferStart, bufferStart + filled)
    std::uint64_t bufferStart;
    std::size_t filled;
    std::uint64_t position;

    bool refill() {
        const std::uint64_t available = fileSize - position;
        const auto wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(available, buffer.size()));
        file.clear();
        file.seekg(static_cast<std::streamoff>(position), std::ios::beg);
        file.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(wanted));
        if (!file.good() || wanted == 0) {
            filled = 0;
            return false;
        }
        bufferStart = position;
        filled = wanted;
        return true;
    }

    bool read(unsigned char* out, std::size_t count) {
        if (count > fileSize - position) {
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

    // Landing exactly on the end of the file is allowed; beyond it the skipped bytes are absent.
    bool skip(std::uint64_t count) {
        if (count > fileSize - position) {
            return false;
        }
        position += count;
        return true;
    }
};

} // namespace

ZipSummary verifyZipArchive(const std::filesystem::path& archive) {
    std::ifstream file(archive, std::ios::binary);
    if (!file.is_open()) {
        refuse("Không mở được ZIP: " + toUtf8(archive.wstring()));
    }

    file.seekg(0, std::ios::end);
    const std::streamoff end = file.tellg();
    if (end < 0) {
        refuse("Không đọc được cuối file ZIP.");
    }
    const auto fileSize = static_cast<std::uint64_t>(end);
    if (fileSize < kEndRecordSize) {
        refuse("File ZIP quá ngắn hoặc bị hỏng.");
    }

    const std::uint64_t window = std::min(fileSize, kTailWindowLimit);
    const std::uint64_t windowStart = fileSize - window;
    std::vector<unsigned char> buffer(static_cast<std::size_t>(window));
    file.seekg(static_cast<std::streamoff>(windowStart), std::ios::beg);
    file.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(window));
    if (!file.good()) {
        refuse("Không đọc được cuối file ZIP.");
    }

    // The record nearest the end wins: a comment may itself contain the signature bytes.
    const unsigned char* record = nullptr;
    for (std::size_t p = static_cast<std::size_t>(window - kEndRecordSize) + 1; p-- > 0;) {
        if (readUint32(buffer.data() + p) == kEndRecordSignature) {
            record = buffer.data() + p;
            break;
        }
    }
    if (record == nullptr) {
        refuse("Không tìm thấy thư mục trung tâm của ZIP.");
    }
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
    if (std::uint64_t{directoryOffset} + directorySize > fileSize) {
        refuse("Thông tin thư mục trung tâm ZIP không hợp lệ.");
    }

    // The entry count, not the directory size, decides how many records are walked.
    DirectoryCursor cursor{file, fileSize, buffer, windowStart, buffer.size(), directoryOffset};
    ZipSummary summary;
    PlaceTable places(entryCount);
    unsigned char header[kDirectoryRecordSize];
    std::string rawName;
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
        const std::uint64_t skipped =
            std::uint64_t{readUint16(header + 30)} + readUint16(header + 32);
        if (!cursor.skip(skipped)) {
            refuse("Thông tin mục ZIP không hợp lệ.");
        }

        places.prepare(rawName);
        const std::wstring name = toWide(rawName, (flags & kFlagUtf8Name) != 0 ? CP_UTF8 : CP_ACP);
        if (!isSafeZipName(name)) {
            refuse("Đã chặn đường dẫn không an toàn trong ZIP: " + toUtf8(printableText(name)));
        }
        const bool isFolder = isDirectoryName(name);
        if (!places.add(name, isFolder)) {
            refuse("ZIP chứa tên trùng nhau: " + toUtf8(printableText(name)));
        }
        if (!isFolder) {
            ++summary.fileCount;
            summary.totalBytes += readUint32(header + 24);
        }
    }

    if (summary.fileCount == 0) {
        refuse("ZIP không có file dữ liệu.");
    }
    return summary;
}

} // namespace qv
