#pragma once
// The CRC-32 that ZIP records for every entry (polynomial 0xEDB88320, reflected, as zlib's
// crc32()), for checking that what the Shell unpacked holds the bytes the archive promised.

#include <cstddef>
#include <cstdint>

namespace qv {

// Continues crc (0 for no bytes yet) over size more bytes.
std::uint32_t updateCrc32(std::uint32_t crc, const unsigned char* data, std::size_t size);

} // namespace qv
