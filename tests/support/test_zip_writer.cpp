#include "support/test_zip_writer.h"

#include <zlib.h>

#include <fstream>
#include <stdexcept>

namespace qv::test {
namespace {

void put16(std::string& out, unsigned value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

void put32(std::string& out, unsigned long value) {
    put16(out, value & 0xFFFF);
    put16(out, (value >> 16) & 0xFFFF);
}

std::string deflateRaw(const std::string& data) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        throw std::runtime_error("deflate failed");
    }
    return out;
}

bool isAscii(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string zipBytes(const std::vector<ZipItem>& items, ZipSummary* counted) {
    std::string body;
    std::string directory;
    ZipSummary summary;
    for (const ZipItem& item : items) {
        const bool folder = !item.name.empty() && item.name.back() == '/';
        const std::string& content = folder ? std::string() : item.content;
        const bool deflated = item.deflate && !folder;
        const std::string stored = deflated ? deflateRaw(content) : content;
        const unsigned long crc =
            item.crcChange ^ crc32(0, reinterpret_cast<const Bytef*>(content.data()),
                                   static_cast<uInt>(content.size()));
        const unsigned flags = isAscii(item.name) || !item.utf8Flag ? 0 : 0x0800;
        const unsigned long offset = static_cast<unsigned long>(body.size());

        std::string common;
        put16(common, 20); // version needed
        put16(common, flags);
        put16(common, deflated ? 8 : 0);
        put16(common, 0);    // time
        put16(common, 0x21); // date: 1980-01-01
        put32(common, crc);
        put32(common, static_cast<unsigned long>(stored.size()));
        put32(common, static_cast<unsigned long>(content.size()));
        put16(common, static_cast<unsigned>(item.name.size()));
        put16(common, 0); // extra length

        put32(body, 0x04034b50);
        body += common + item.name + stored;

        put32(directory, 0x02014b50);
        put16(directory, 20); // made by
        directory += common;
        put16(directory, 0); // comment length
        put16(directory, 0); // disk
        put16(directory, 0); // internal attributes
        put32(directory, folder ? 0x10 : 0x20);
        put32(directory, offset);
        directory += item.name;

        if (!folder) {
            summary.fileCount += 1;
            summary.totalBytes += content.size();
        }
    }
    std::string end;
    put32(end, 0x06054b50);
    put16(end, 0);
    put16(end, 0);
    put16(end, static_cast<unsigned>(items.size()));
    put16(end, static_cast<unsigned>(items.size()));
    put32(end, static_cast<unsigned long>(directory.size()));
    put32(end, static_cast<unsigned long>(body.size()));
    put16(end, 0);
    if (counted != nullptr) {
        *counted = summary;
    }
    return body + directory + end;
}

ZipSummary writeZip(const std::filesystem::path& archive, const std::vector<ZipItem>& items) {
    ZipSummary summary;
    std::ofstream out(archive, std::ios::binary | std::ios::trunc);
    out << zipBytes(items, &summary);
    if (!out.flush()) {
        throw std::runtime_error("cannot write the test archive");
    }
    return summary;
}

std::string sampleContent(std::size_t size, unsigned seed) {
    std::string content(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (char& c : content) {
        state = state * 1103515245u + 12345u;
        // Compressible but not trivial: letters from a small alphabet.
        c = static_cast<char>('a' + (state >> 16) % 7);
    }
    return content;
}

} // namespace qv::test
