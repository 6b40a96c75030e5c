// Damaged archives of every shape: byte changes, truncations, stamped field values, splices of two
// archives and moved ranges, all from a fixed seed. Each must either verify or end in one of the
// verifier's own messages; a crash, a hang, a foreign exception or a file left open fails.

#include "support/zip_writer.h"
#include "zip/producer_archives.h"
#include "zip/verify_outcome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace qv {
namespace {

const std::set<std::string> kRefusals = {
    "File ZIP quá ngắn hoặc bị hỏng.",
    "Không đọc được cuối file ZIP.",
    "Không tìm thấy thư mục trung tâm của ZIP.",
    "Không hỗ trợ ZIP nhiều đĩa.",
    "Không hỗ trợ ZIP64 cho gói cài đặt này.",
    "Thông tin thư mục trung tâm ZIP không hợp lệ.",
    "Mục trong thư mục trung tâm ZIP bị hỏng.",
    "Không hỗ trợ ZIP được mã hóa.",
    "ZIP chứa tên file trống.",
    "Không đọc được tên file trong ZIP.",
    "Thông tin mục ZIP không hợp lệ.",
    "Không chuyển đổi được tên file trong ZIP.",
    "ZIP không có file dữ liệu.",
};
const std::string kUnsafePrefix = "Đã chặn đường dẫn không an toàn trong ZIP: ";
const std::string kSameNamePrefix = "ZIP chứa tên trùng nhau: ";
const std::string kMethodPrefix = "Không hỗ trợ phương thức nén trong ZIP: ";
const std::string kUnclearPrefix = "Tên file trong ZIP không rõ bảng mã: ";

// The outcome with the variable part of a message removed, for the tally.
std::string classify(const std::string& outcome) {
    if (outcome.rfind("accepted ", 0) == 0 && outcome.find('<') == std::string::npos) {
        return "accepted";
    }
    for (const std::string& prefix :
         {kUnsafePrefix, kSameNamePrefix, kMethodPrefix, kUnclearPrefix}) {
        if (outcome.rfind(prefix, 0) == 0 &&
            outcome.find(" <archive left open") == std::string::npos) {
            return prefix;
        }
    }
    return kRefusals.count(outcome) != 0 ? outcome : "UNLISTED: " + outcome;
}

// splitmix64: the same sequence on every platform and library.
struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t bound) { return bound == 0 ? 0 : next() % bound; }
};

struct Base {
    std::string name;
    std::string bytes;
    std::size_t directoryOffset; // damage is aimed mostly at the directory and end record
};

std::vector<Base> syntheticBases() {
    using namespace ziptest;
    ZipLayout commented = simpleLayout({{"a.txt", 5}, {"dir/", 0}, {"dir/T\xe1\xba\xa3i.txt", 9}});
    commented.entries[2].flags = 0x0800;
    commented.entries[0].extra = std::string("UT\x05\0\x01\0\0\0\0", 9);
    commented.entries[1].comment = "folder";
    commented.comment = "package comment";
    ZipLayout single = simpleLayout({{"Quorvalent.exe", 1234}});
    ZipLayout deep = simpleLayout({{"a/", 0}, {"a/b/", 0}, {"a/b/c/d.bin", 77}, {"e", 1}});
    deep.leading.clear();
    return {{"synthetic-commented", buildZip(commented), 64},
            {"synthetic-single", buildZip(single), 64},
            {"synthetic-deep", buildZip(deep), 0}};
}

std::string mutate(const Base& base, const std::vector<Base>& all, Random& random, int kind) {
    std::string bytes = base.bytes;
    const std::size_t size = bytes.size();
    // Three quarters of the positions fall in the directory and end record.
    auto position = [&] {
        const std::size_t from = random.below(4) == 0 ? 0 : std::min(base.directoryOffset, size);
        return from + random.below(size - from);
    };
    switch (kind) {
    case 0: { // one byte changed
        const std::size_t at = position();
        bytes[at] = static_cast<char>(bytes[at] ^ (1 + random.below(255)));
        break;
    }
    case 1: // truncated
        bytes.resize(random.below(3) == 0 ? size - 1 - random.below(40) % size
                                          : random.below(size));
        break;
    case 2: { // a 16- or 32-bit field stamped with an extreme or random value
        static const std::uint32_t values[] = {0, 1, 0xFFFF, 0xFFFFFFFF, 0x7FFFFFFF, 0x8000, 46};
        const std::uint32_t value = random.below(3) == 0 ? static_cast<std::uint32_t>(random.next())
                                                         : values[random.below(7)];
        const std::size_t width = random.below(2) == 0 ? 2 : 4;
        const std::size_t at = position();
        for (std::size_t i = 0; i < width && at + i < size; ++i) {
            bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
        }
        break;
    }
    case 3: { // the front of this archive joined to the back of another
        const Base& other = all[random.below(all.size())];
        bytes = bytes.substr(0, position()) + other.bytes.substr(random.below(other.bytes.size()));
        break;
    }
    default: { // a range removed or repeated
        const std::size_t at = position();
        const std::size_t length = std::min(size - at, 1 + random.below(120));
        if (random.below(2) == 0) {
            bytes.erase(at, length);
        } else {
            bytes.insert(at, bytes.substr(at, length));
        }
        break;
    }
    }
    return bytes;
}

TEST(ZipMutation, DamagedArchivesVerifyOrEndInAListedMessage) {
    std::vector<Base> bases = syntheticBases();
    const auto producers = ziptest::producerArchives();
    ASSERT_FALSE(producers.empty());
    for (const auto& archive : producers) {
        bases.push_back({archive.name, ziptest::readWholeFile(archive.path),
                         static_cast<std::size_t>(archive.directoryOffset)});
        ASSERT_FALSE(bases.back().bytes.empty()) << archive.name;
    }

    Random random{20240607};
    std::map<std::string, int> tally;
    int cases = 0;
    for (const Base& base : bases) {
        // Large archives cost more per case; they are here for directories that need many reads.
        const int perKind = base.bytes.size() > 200000 ? 12 : 70;
        for (int kind = 0; kind < 5; ++kind) {
            for (int i = 0; i < perKind; ++i) {
                const std::string outcome = ziptest::verifyBytes(mutate(base, bases, random, kind));
                const std::string kindOf = classify(outcome);
                ++tally[kindOf];
                ++cases;
                EXPECT_EQ(kindOf.rfind("UNLISTED", 0), std::string::npos)
                    << base.name << " kind " << kind << " case " << i << ": " << outcome;
            }
        }
    }
    for (const auto& [outcome, count] : tally) {
        std::cout << "  " << count << "  " << outcome << "\n";
    }
    EXPECT_GE(cases, 3000);
    // The damage must reach the deep checks, not only the end-record search.
    for (const char* deep : {"Mục trong thư mục trung tâm ZIP bị hỏng.", "ZIP chứa tên file trống.",
                             "Không hỗ trợ ZIP được mã hóa.", "Thông tin mục ZIP không hợp lệ.",
                             "Không đọc được tên file trong ZIP.", "accepted"}) {
        EXPECT_GT(tally[deep], 0) << deep;
    }
    EXPECT_GT(tally[kUnsafePrefix], 0);
}

} // namespace
} // namespace qv
