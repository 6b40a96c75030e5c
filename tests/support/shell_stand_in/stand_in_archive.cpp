#include "stand_in_archive.h"

#include <windows.h>
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace qv::test {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kEndOfDirectory = 0x06054b50;
constexpr std::uint32_t kDirectoryEntry = 0x02014b50;
constexpr std::uint32_t kLocalHeader = 0x04034b50;
constexpr std::uint16_t kUtf8NameFlag = 0x0800;

std::uint32_t read16(const std::vector<unsigned char>& bytes, std::size_t at) {
    if (at + 2 > bytes.size()) {
        throw std::runtime_error("truncated archive");
    }
    return bytes[at] | (bytes[at + 1] << 8);
}

std::uint32_t read32(const std::vector<unsigned char>& bytes, std::size_t at) {
    return read16(bytes, at) | (read16(bytes, at + 2) << 16);
}

std::wstring decodeName(const std::string& raw, bool utf8) {
    const UINT codePage = utf8 ? CP_UTF8 : CP_OEMCP;
    const int length = static_cast<int>(raw.size());
    const int needed = ::MultiByteToWideChar(codePage, 0, raw.data(), length, nullptr, 0);
    if (needed <= 0) {
        throw std::runtime_error("undecodable entry name");
    }
    std::wstring name(static_cast<std::size_t>(needed), L'\0');
    ::MultiByteToWideChar(codePage, 0, raw.data(), length, name.data(), needed);
    for (wchar_t& c : name) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return name;
}

std::vector<unsigned char> inflateRaw(const unsigned char* data, std::uint32_t compressedSize,
                                      std::uint32_t size) {
    // One spare byte: zlib refuses a null output buffer, which an empty vector would give.
    std::vector<unsigned char> out(size + 1u);
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        throw std::runtime_error("inflateInit2 failed");
    }
    stream.next_in = const_cast<unsigned char*>(data);
    stream.avail_in = compressedSize;
    stream.next_out = out.data();
    stream.avail_out = size + 1u;
    const int result = inflate(&stream, Z_FINISH);
    const uLong produced = stream.total_out;
    inflateEnd(&stream);
    if (result != Z_STREAM_END || produced != size) {
        throw std::runtime_error("corrupt deflated entry");
    }
    out.resize(size);
    return out;
}

void writeFile(const fs::path& path, const unsigned char* data, std::size_t size) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot create a file in the destination folder");
    }
    DWORD written = 0;
    const BOOL ok =
        size == 0 || ::WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr);
    ::CloseHandle(file);
    if (!ok || written != size) {
        throw std::runtime_error("cannot write a file in the destination folder");
    }
}

} // namespace

StandInArchive::StandInArchive(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open the archive");
    }
    bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (bytes_.size() < 22) {
        throw std::runtime_error("not a ZIP archive");
    }
    std::size_t end = bytes_.size() - 22;
    while (read32(bytes_, end) != kEndOfDirectory) {
        if (end == 0 || bytes_.size() - end > 22 + 0xFFFF) {
            throw std::runtime_error("no end of central directory");
        }
        --end;
    }
    const std::uint32_t count = read16(bytes_, end + 10);
    std::size_t at = read32(bytes_, end + 16);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (read32(bytes_, at) != kDirectoryEntry) {
            throw std::runtime_error("bad central directory entry");
        }
        const std::uint32_t nameLength = read16(bytes_, at + 28);
        const std::size_t next =
            at + 46 + nameLength + read16(bytes_, at + 30) + read16(bytes_, at + 32);
        if (next > bytes_.size()) {
            throw std::runtime_error("truncated central directory");
        }
        ArchiveEntry entry;
        const std::string raw(bytes_.begin() + at + 46, bytes_.begin() + at + 46 + nameLength);
        entry.name = decodeName(raw, (read16(bytes_, at + 8) & kUtf8NameFlag) != 0);
        entry.method = static_cast<std::uint16_t>(read16(bytes_, at + 10));
        entry.compressedSize = read32(bytes_, at + 20);
        entry.size = read32(bytes_, at + 24);
        entry.localHeaderOffset = read32(bytes_, at + 42);
        entry.isDirectory = !entry.name.empty() && entry.name.back() == L'\\';
        while (!entry.name.empty() && entry.name.back() == L'\\') {
            entry.name.pop_back();
        }
        entries_.push_back(entry);
        at = next;
    }
}

std::size_t StandInArchive::fileCount() const {
    std::size_t files = 0;
    for (const ArchiveEntry& entry : entries_) {
        files += entry.isDirectory ? 0 : 1;
    }
    return files;
}

const ArchiveEntry* StandInArchive::lastFile() const {
    for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
        if (!entry->isDirectory) {
            return &*entry;
        }
    }
    return nullptr;
}

void StandInArchive::extractZeros(const ArchiveEntry& entry, const fs::path& destination) const {
    const fs::path target = destination / entry.name;
    fs::create_directories(target.parent_path());
    const std::vector<unsigned char> zeros(entry.size);
    writeFile(target, zeros.data(), zeros.size());
}

void StandInArchive::extract(const ArchiveEntry& entry, const fs::path& destination,
                             bool wrongFirstByte) const {
    const fs::path target = destination / entry.name;
    if (entry.isDirectory) {
        fs::create_directories(target);
        return;
    }
    fs::create_directories(target.parent_path());
    const std::size_t local = entry.localHeaderOffset;
    if (read32(bytes_, local) != kLocalHeader) {
        throw std::runtime_error("bad local header");
    }
    const std::size_t data = local + 30 + read16(bytes_, local + 26) + read16(bytes_, local + 28);
    if (data + entry.compressedSize > bytes_.size()) {
        throw std::runtime_error("truncated entry data");
    }
    std::vector<unsigned char> content;
    if (entry.method == 0) {
        content.assign(bytes_.data() + data, bytes_.data() + data + entry.size);
    } else if (entry.method == 8) {
        content = inflateRaw(bytes_.data() + data, entry.compressedSize, entry.size);
    } else {
        throw std::runtime_error("unsupported compression method");
    }
    if (wrongFirstByte && !content.empty()) {
        content[0] ^= 0x20;
    }
    writeFile(target, content.data(), content.size());
}

} // namespace qv::test
