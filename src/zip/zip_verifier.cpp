#include "zip/zip_verifier.h"

#include "core/errors.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <string_view>
#include <type_traits>
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
constexpr std::uint16_t kZip64EntryCount = 0xFFFF;
constexpr std::uint32_t kZip64Field = 0xFFFFFFFF;

std::uint16_t readUint16(const unsigned char* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::uint32_t readUint32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
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

bool isDirectoryName(const std::wstring& name) {
    return !name.empty() && (name.back() == L'/' || name.back() == L'\\');
}

// The longest name one folder level may have on Windows, in UTF-16 code units.
constexpr std::size_t kLongestSegment = 255;

// Characters Windows does not allow in a file name; ':' is refused on its own, earlier.
bool isForbiddenCharacter(wchar_t c) {
    return c < 0x20 || c == 0x7F || c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' ||
           c == L'*';
}

// upper: upper-case ASCII. Only ASCII letters fold: Windows does not read a full-width "ＣＯＮ"
// as a device.
bool equalsIgnoringAsciiCase(std::wstring_view text, std::string_view upper) {
    if (text.size() != upper.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i] >= L'a' && text[i] <= L'z' ? text[i] - (L'a' - L'A') : text[i];
        if (c != static_cast<unsigned char>(upper[i])) {
            return false;
        }
    }
    return true;
}

// Windows opens these names as devices in every folder and whatever the extension: a file
// called "nul.txt" or "COM1" is never created, and an elevated process writes its bytes to the
// device instead.
bool isReservedDeviceName(std::wstring_view segment) {
    // Every such name starts with C, P, A, N or L: most segments are let go at once.
    const wchar_t first = segment.empty() ? L'\0' : static_cast<wchar_t>(segment[0] & ~0x20);
    if (first != L'C' && first != L'P' && first != L'A' && first != L'N' && first != L'L') {
        return false;
    }
    if (equalsIgnoringAsciiCase(segment, "CONIN$") || equalsIgnoringAsciiCase(segment, "CONOUT$")) {
        return true;
    }
    std::wstring_view stem = segment.substr(0, segment.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') {
        stem.remove_suffix(1);
    }
    if (stem.size() == 3) {
        return equalsIgnoringAsciiCase(stem, "CON") || equalsIgnoringAsciiCase(stem, "PRN") ||
               equalsIgnoringAsciiCase(stem, "AUX") || equalsIgnoringAsciiCase(stem, "NUL");
    }
    if (stem.size() == 4) {
        const wchar_t number = stem[3];
        // Superscript one, two and three count as port numbers too.
        const bool numbered = (number >= L'0' && number <= L'9') || number == L'\u00B9' ||
                              number == L'\u00B2' || number == L'\u00B3';
        return numbered && (equalsIgnoringAsciiCase(stem.substr(0, 3), "COM") ||
                            equalsIgnoringAsciiCase(stem.substr(0, 3), "LPT"));
    }
    return false;
}

// Empty segments (doubled or trailing separators) are harmless. "." and ".." end in a dot.
bool isSafeSegment(std::wstring_view segment) {
    return segment.empty() || (segment.back() != L'.' && segment.back() != L' ' &&
                               segment.size() <= kLongestSegment && !isReservedDeviceName(segment));
}

bool isSafeName(std::wstring_view name) {
    // One pass: both separators end a segment, as if every slash had become a backslash.
    if (name.empty() || name.front() == L'/' || name.front() == L'\\') {
        return false;
    }
    std::size_t segmentStart = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        const wchar_t c = i < name.size() ? name[i] : L'\\';
        if (c == L'/' || c == L'\\') {
            if (!isSafeSegment(name.substr(segmentStart, i - segmentStart))) {
                return false;
            }
            segmentStart = i + 1;
        } else if (c == L':' || isForbiddenCharacter(c)) {
            return false;
        }
    }
    return true;
}

// Remembers every place the entries walked so far take on a case-insensitive file system, and
// whether a file or a folder is there, so that two entries naming one place are refused: the
// Shell would merge or skip them without a word, and the extraction would never reach the
// archive's totals.
//
// A place is the name with its separators unified, empty segments and a trailing separator
// dropped, and its letters upper-cased the way Windows compares file names: ordinally, one
// UTF-16 unit at a time, through the system's upper-case table (CompareStringOrdinal with
// bIgnoreCase). A hash table needs one key per place rather than a comparison, so the key is
// made with LCMapStringEx, LCMAP_UPPERCASE and the invariant locale: without
// LCMAP_LINGUISTIC_CASING that call upper-cases by the same file-system rules, with no
// language's special cases and no change of length. ASCII-only names, nearly all of them, are
// folded here without the call.
//
// Keys live end to end in one buffer, and every folder above a name is a prefix of that name's
// key, so a folder costs a table slot but no text of its own. Each place gets all the folders
// above it, so the walk up from a new name stops at the first folder already known.
class PlaceTable {
public:
    explicit PlaceTable(std::size_t expectedPlaces) {
        // A starting value of its own for every table, so that an archive cannot be made with
        // thousands of names that share one hash and slow the walk down to a crawl.
        LARGE_INTEGER now{};
        ::QueryPerformanceCounter(&now);
        basis_ = 2166136261u ^ static_cast<std::uint32_t>(now.QuadPart);
        std::size_t capacity = 64;
        while (capacity < 2 * expectedPlaces) {
            capacity *= 2;
        }
        resize(capacity);
    }

    // Takes the entry's name bytes before they are decoded. ASCII bytes decode to the same
    // characters in UTF-8 and in every ANSI code page, so such a name's key is made now and the
    // slot it hashes to starts loading while the name is decoded and checked: with tens of
    // thousands of entries the table is far larger than the processor's nearest caches.
    void prepare(const std::string& rawName) {
        prepared_ = appendKey(rawName.data(), rawName.size());
        if (prepared_) {
            __builtin_prefetch(&slots_[home(pendingHash_)]);
        } else {
            keysUsed_ = pendingStart_;
        }
    }

    // Adds the decoded name (its prepared key, when it had one). False when it names a place
    // another entry took as a file, or as a folder while this entry is a file.
    bool add(const std::wstring& name, bool isFolder) {
        if (!prepared_ && !appendKey(name.data(), name.size())) {
            upperCaseInPlace(pendingStart_);
            pendingHash_ = hashKey(pendingStart_, pendingLength_);
        }
        prepared_ = false;

        const std::size_t start = pendingStart_;
        Slot& slot = find(start, pendingLength_, pendingHash_);
        if (slot.length != 0) {
            keysUsed_ = start; // a known place: its text is not needed again
            return isFolder && slot.isFolder;
        }
        take(slot, start, pendingLength_, pendingHash_, isFolder);
        for (auto folder = folderEnds_.rbegin(); folder != folderEnds_.rend(); ++folder) {
            Slot& above = find(start, folder->length, folder->hash);
            if (above.length != 0) {
                return above.isFolder;
            }
            take(above, start, folder->length, folder->hash, true);
        }
        return true;
    }

private:
    static constexpr std::uint32_t kHashPrime = 16777619u; // FNV-1a

    struct Slot {
        std::uint32_t offset;
        std::uint16_t length; // 0: free; a key is never empty and never longer than its name
        std::uint16_t hashBits : 15;
        std::uint16_t isFolder : 1;
    };
    struct FolderEnd {
        std::uint32_t length;
        std::uint32_t hash;
    };

    // Appends the name's key to the text, with ASCII letters upper-cased, and hashes it and
    // the folders above it (the prefixes that end before a separator) on the way. False when
    // the name holds a character beyond ASCII: its key is then not finished.
    template <typename Char> bool appendKey(const Char* name, std::size_t size) {
        pendingStart_ = keysUsed_;
        if (keys_.size() - keysUsed_ < size) {
            keys_.resize(std::max(2 * keys_.size(), keysUsed_ + size));
        }
        wchar_t* const begin = keys_.data() + keysUsed_;
        wchar_t* out = begin;
        folderEnds_.clear();
        std::uint32_t hash = basis_;
        unsigned allBits = 0; // below 0x80: ASCII only
        for (std::size_t i = 0; i < size; ++i) {
            auto c = static_cast<wchar_t>(static_cast<std::make_unsigned_t<Char>>(name[i]));
            if (c == L'/' || c == L'\\') {
                if (out == begin || out[-1] == L'\\') {
                    continue;
                }
                c = L'\\';
                folderEnds_.push_back({static_cast<std::uint32_t>(out - begin), hash});
            } else if (c >= L'a' && c <= L'z') {
                c -= L'a' - L'A';
            }
            allBits |= c;
            *out++ = c;
            hash = (hash ^ c) * kHashPrime;
        }
        if (out != begin && out[-1] == L'\\') {
            --out;
            hash = folderEnds_.back().hash;
            folderEnds_.pop_back();
        }
        keysUsed_ += static_cast<std::size_t>(out - begin);
        pendingLength_ = static_cast<std::uint32_t>(out - begin);
        pendingHash_ = hash;
        return allBits < 0x80;
    }

    void upperCaseInPlace(std::size_t start) {
        const auto length = static_cast<int>(keysUsed_ - start);
        const std::wstring source(keys_.data() + start, keys_.data() + keysUsed_);
        check(::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, source.data(), length,
                              keys_.data() + start, length, nullptr /* version */,
                              nullptr /* reserved */, 0 /* reserved */) == length,
              "Không chuyển đổi được tên file trong ZIP.");
    }

    // The same hashes as appendKey, for a key already in the text.
    std::uint32_t hashKey(std::size_t start, std::uint32_t length) {
        folderEnds_.clear();
        const wchar_t* key = keys_.data() + start;
        std::uint32_t hash = basis_;
        for (std::uint32_t i = 0; i < length; ++i) {
            if (key[i] == L'\\') {
                folderEnds_.push_back({i, hash});
            }
            hash = (hash ^ key[i]) * kHashPrime;
        }
        return hash;
    }

    // Fibonacci hashing: the top bits of the product spread keys whose hashes are alike.
    std::size_t home(std::uint32_t hash) const { return (hash * 0x9E3779B1u) >> shift_; }
    static std::uint16_t hashBitsOf(std::uint32_t hash) { return hash & 0x7FFF; }

    Slot& find(std::size_t start, std::uint32_t length, std::uint32_t hash) {
        const std::size_t mask = slots_.size() - 1;
        const std::uint16_t bits = hashBitsOf(hash);
        for (std::size_t i = home(hash);; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.length == 0 ||
                (slot.hashBits == bits && slot.length == length &&
                 std::wmemcmp(keys_.data() + slot.offset, keys_.data() + start, length) == 0)) {
                return slot;
            }
        }
    }

    void take(Slot& slot, std::size_t start, std::uint32_t length, std::uint32_t hash,
              bool isFolder) {
        slot.offset = static_cast<std::uint32_t>(start);
        slot.length = static_cast<std::uint16_t>(length);
        slot.hashBits = hashBitsOf(hash);
        slot.isFolder = isFolder;
        if (++used_ * 4 > slots_.size() * 3) {
            resize(slots_.size() * 2);
        }
    }

    // Slots keep only part of the hash, so moving them to a larger table hashes their keys again.
    void resize(std::size_t capacity) {
        std::vector<Slot> old(capacity, Slot{0, 0, 0, 0});
        old.swap(slots_);
        shift_ = 32;
        for (std::size_t c = capacity; c > 1; c /= 2) {
            --shift_;
        }
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.length == 0) {
                continue;
            }
            std::uint32_t hash = basis_;
            for (std::uint32_t i = 0; i < slot.length; ++i) {
                hash = (hash ^ keys_[slot.offset + i]) * kHashPrime;
            }
            std::size_t i = home(hash);
            while (slots_[i].length != 0) {
                i = (i + 1) & mask;
            }
            slots_[i] = slot;
        }
    }

    std::uint32_t basis_ = 0;
    std::vector<Slot> slots_;
    std::vector<wchar_t> keys_; // [0, keysUsed_) holds the keys end to end
    std::size_t keysUsed_ = 0;
    std::size_t used_ = 0;
    unsigned shift_ = 32;
    // The entry being added: its key at [pendingStart_, pendingStart_ + pendingLength_).
    bool prepared_ = false;
    std::size_t pendingStart_ = 0;
    std::uint32_t pendingLength_ = 0;
    std::uint32_t pendingHash_ = 0;
    std::vector<FolderEnd> folderEnds_;
};

} // namespace

bool isSafeZipPath(std::wstring name) {
    return isSafeName(name);
}

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
    if (entryCount == kZip64EntryCount || directorySize == kZip64Field ||
        directoryOffset == kZip64Field) {
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
        if (!isSafeName(name)) {
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
