#include "zip/crc32.h"

#include <cpuid.h>
#include <immintrin.h>

#include <cstring>

namespace qv {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;

// Slicing by eight: eight bytes per step through eight tables of 256 entries (8 KiB), made on
// first use rather than stored in the program.
struct SliceTables {
    std::uint32_t table[8][256];

    SliceTables() {
        for (std::uint32_t byte = 0; byte < 256; ++byte) {
            std::uint32_t crc = byte;
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc >> 1) ^ (kPolynomial & (0u - (crc & 1u)));
            }
            table[0][byte] = crc;
        }
        for (std::uint32_t byte = 0; byte < 256; ++byte) {
            for (int slice = 1; slice < 8; ++slice) {
                const std::uint32_t previous = table[slice - 1][byte];
                table[slice][byte] = (previous >> 8) ^ table[0][previous & 0xFF];
            }
        }
    }
};

// On the inverted register, as the algorithm runs; the public function inverts on the way in
// and out.
std::uint32_t sliceBy8(std::uint32_t crc, const unsigned char* data, std::size_t size) {
    static const SliceTables tables;
    const auto& t = tables.table;
    for (; size >= 8; data += 8, size -= 8) {
        std::uint32_t low;
        std::uint32_t high;
        std::memcpy(&low, data, 4);
        std::memcpy(&high, data + 4, 4);
        low ^= crc; // little-endian, as every Windows processor
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^
              t[4][low >> 24] ^ t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^
              t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    }
    for (; size > 0; ++data, --size) {
        crc = (crc >> 8) ^ t[0][(crc ^ *data) & 0xFF];
    }
    return crc;
}

bool hasCarryLessMultiply() {
    unsigned a = 0;
    unsigned b = 0;
    unsigned c = 0;
    unsigned d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & bit_PCLMUL) != 0 && (c & bit_SSE4_1) != 0;
}

#define QV_FOLDING_TARGET __attribute__((target("pclmul,sse4.1")))

QV_FOLDING_TARGET inline __m128i load16(const unsigned char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// One lane carried 128 bits (or 512, by k) further and added to the bytes found there.
QV_FOLDING_TARGET inline __m128i fold(__m128i lane, __m128i next, __m128i k) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00),
                                       _mm_clmulepi64_si128(lane, k, 0x11)),
                         next);
}

// Folding with carry-less multiplication (PCLMULQDQ, on every x86 processor since 2010): four
// 16-byte lanes folded 64 bytes at a time, then into one lane, and reduced to 32 bits (Barrett).
// The constants are powers of x modulo the polynomial, bit-reflected, as published with the
// method. size: at least 64, a multiple of 16. Runs on the inverted register, as sliceBy8.
QV_FOLDING_TARGET __attribute__((force_align_arg_pointer)) std::uint32_t
foldBy4(std::uint32_t crc, const unsigned char* data, std::size_t size) {
    const __m128i k1k2 = _mm_set_epi32(0x00000001, 0xC6E41596, 0x00000001, 0x54442BD4);
    const __m128i k3k4 = _mm_set_epi32(0x00000000, 0xCCAA009E, 0x00000001, 0x751997D0);
    const __m128i k5 = _mm_set_epi32(0, 0, 0x00000001, 0x63CD6124);
    const __m128i polyMu = _mm_set_epi32(0x00000001, 0xF7011641, 0x00000001, 0xDB710641);
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

    __m128i x1 = _mm_xor_si128(load16(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load16(data + 16);
    __m128i x3 = load16(data + 32);
    __m128i x4 = load16(data + 48);
    data += 64;
    size -= 64;
    for (; size >= 64; data += 64, size -= 64) {
        x1 = fold(x1, load16(data), k1k2);
        x2 = fold(x2, load16(data + 16), k1k2);
        x3 = fold(x3, load16(data + 32), k1k2);
        x4 = fold(x4, load16(data + 48), k1k2);
    }
    x1 = fold(x1, x2, k3k4);
    x1 = fold(x1, x3, k3k4);
    x1 = fold(x1, x4, k3k4);
    for (; size >= 16; data += 16, size -= 16) {
        x1 = fold(x1, load16(data), k3k4);
    }

    // 128 bits to 64, then to 32 by Barrett reduction.
    __m128i t = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);
    t = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), t);
    t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), polyMu, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), polyMu, 0x00);
    return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, t), 1));
}

} // namespace

std::uint32_t updateCrc32(std::uint32_t crc, const unsigned char* data, std::size_t size) {
    static const bool folding = hasCarryLessMultiply();
    crc = ~crc;
    if (folding && size >= 64) {
        const std::size_t folded = size & ~static_cast<std::size_t>(15);
        crc = foldBy4(crc, data, folded);
        data += folded;
        size -= folded;
    }
    return ~sliceBy8(crc, data, size);
}

} // namespace qv
