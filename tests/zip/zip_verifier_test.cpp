#include "zip/zip_verifier.h"

#include "core/errors.h"
#include "support/zip_writer.h"
#include "zip/verify_outcome.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace qv {
namespace {

using ziptest::buildZip;
using ziptest::simpleLayout;
using ziptest::verifyBytes;
using ziptest::ZipEntry;
using ziptest::ZipLayout;

const std::string kTooShort = "File ZIP quá ngắn hoặc bị hỏng.";
const std::string kNoEndRecord = "Không tìm thấy thư mục trung tâm của ZIP.";
const std::string kMultiDisk = "Không hỗ trợ ZIP nhiều đĩa.";
const std::string kZip64 = "Không hỗ trợ ZIP64 cho gói cài đặt này.";
const std::string kBadBounds = "Thông tin thư mục trung tâm ZIP không hợp lệ.";
const std::string kBadRecord = "Mục trong thư mục trung tâm ZIP bị hỏng.";
const std::string kEncrypted = "Không hỗ trợ ZIP được mã hóa.";
const std::string kEmptyName = "ZIP chứa tên file trống.";
const std::string kNameUnreadable = "Không đọc được tên file trong ZIP.";
const std::string kBadEntryLengths = "Thông tin mục ZIP không hợp lệ.";
const std::string kUnsafe = "Đã chặn đường dẫn không an toàn trong ZIP: ";
const std::string kNoFiles = "ZIP không có file dữ liệu.";
const std::string kMethod = "Không hỗ trợ phương thức nén trong ZIP: ";

// Two files and a folder: the base most rows change one thing in.
ZipLayout twoFiles() {
    return simpleLayout({{"a.txt", 5}, {"dir/", 0}, {"dir/b.bin", 7}});
}

ZipLayout with(ZipLayout layout, const std::function<void(ZipLayout&)>& change) {
    change(layout);
    return layout;
}

std::string endRecordOnly(std::uint16_t disk = 0) {
    ZipLayout layout;
    layout.disk = disk;
    return buildZip(layout);
}

struct Row {
    const char* label;
    std::string bytes;
    std::string expected;
};

TEST(ZipVerifier, StructuralTable) {
    ASSERT_EQ(::GetACP(), 1252u) << "the test prefix's ANSI code page";
    ASSERT_NE(::GetOEMCP(), 1252u) << "the test prefix's OEM code page";
    const std::string base = buildZip(twoFiles());
    const std::size_t baseSize = base.size();
    const std::string fakeEnd = endRecordOnly(1);

    const Row rows[] = {
        {"empty file", "", kTooShort},
        {"21 bytes", endRecordOnly().substr(0, 21), kTooShort},
        {"22-byte end record without entries", endRecordOnly(), kNoFiles},
        {"22 zero bytes", std::string(22, '\0'), kNoEndRecord},
        {"signature only in the last 21 bytes", base.substr(0, baseSize - 1), kNoEndRecord},
        {"base", base, "accepted 2 files, 12 bytes"},
        {"longest comment still in the window",
         buildZip(with(twoFiles(), [](auto& l) { l.comment = std::string(0xFFFF, 'c'); })),
         "accepted 2 files, 12 bytes"},
        {"end record one byte before the window",
         buildZip(with(twoFiles(),
                       [](auto& l) {
                           l.comment = std::string(0xFFFF, 'c');
                           l.trailing = "x";
                       })),
         kNoEndRecord},
        // One reading of the archive: the last signature is the end record, its comment ends
        // the file, and no other record could be taken for it.
        {"comment holding a later end record is a second reading",
         buildZip(with(twoFiles(), [&](auto& l) { l.comment = "note " + fakeEnd; })), kNoEndRecord},
        {"signature in the comment's last 21 bytes is a second reading",
         buildZip(
             with(twoFiles(), [](auto& l) { l.comment = std::string("PK\x05\x06", 4) + "xyz"; })),
         kNoEndRecord},
        {"a whole second archive inside the comment",
         buildZip(
             with(simpleLayout({{"../evil.txt", 1}}),
                  [](auto& l) {
                      ZipLayout harmless = simpleLayout({{"safe.txt", 1}});
                      const std::string records = ziptest::directoryRecord(harmless.entries[0]);
                      // Where the harmless directory lands: after the real one's end record.
                      const auto at = static_cast<std::uint32_t>(
                          l.leading.size() + ziptest::directoryRecord(l.entries[0]).size() + 22);
                      l.comment =
                          records + ziptest::endRecord(harmless, at,
                                                       static_cast<std::uint32_t>(records.size()));
                  })),
         kNoEndRecord},
        {"comment length beyond the end of the file",
         buildZip(with(twoFiles(),
                       [](auto& l) {
                           l.comment = "abc";
                           l.commentLength = 4;
                       })),
         kNoEndRecord},
        {"bytes after the comment", buildZip(with(twoFiles(), [](auto& l) { l.trailing = "x"; })),
         kNoEndRecord},
        {"this disk not 0", buildZip(with(twoFiles(), [](auto& l) { l.disk = 1; })), kMultiDisk},
        {"start disk not 0", buildZip(with(twoFiles(), [](auto& l) { l.startDisk = 2; })),
         kMultiDisk},
        {"multi-disk is checked before the ZIP64 markers",
         buildZip(with(twoFiles(),
                       [](auto& l) {
                           l.disk = 1;
                           l.entryCount = 0xFFFF;
                       })),
         kMultiDisk},
        {"0xFFFF entries", buildZip(with(twoFiles(), [](auto& l) { l.entryCount = 0xFFFF; })),
         kZip64},
        {"size marker", buildZip(with(twoFiles(), [](auto& l) { l.directorySize = 0xFFFFFFFF; })),
         kZip64},
        {"offset marker",
         buildZip(with(twoFiles(), [](auto& l) { l.directoryOffset = 0xFFFFFFFF; })), kZip64},
        {"offset + size reaching into the end record",
         buildZip(
             with(twoFiles(),
                  [&](auto& l) { l.directorySize = static_cast<std::uint32_t>(baseSize - 64); })),
         kBadBounds},
        {"offset + size one beyond the file size",
         buildZip(with(
             twoFiles(),
             [&](auto& l) { l.directorySize = static_cast<std::uint32_t>(baseSize - 64 + 1); })),
         kBadBounds},
        {"offset + size wrapping 32 bits",
         buildZip(with(twoFiles(),
                       [](auto& l) {
                           l.directoryOffset = 0xFFFFFFF0;
                           l.directorySize = 0x20;
                       })),
         kBadBounds},
        {"size smaller than the records",
         buildZip(with(twoFiles(), [](auto& l) { l.directorySize = 0; })), kBadBounds},
        {"offset into the data, the size ending at the end record",
         buildZip(with(twoFiles(),
                       [&](auto& l) {
                           l.directoryOffset = 3;
                           l.directorySize = static_cast<std::uint32_t>(baseSize - 22 - 3);
                       })),
         kBadRecord},
        {"records beyond the count", buildZip(with(twoFiles(), [](auto& l) { l.entryCount = 2; })),
         kBadBounds},
        // The count on this disk is a second count of the same records.
        {"count on this disk other than the total",
         buildZip(with(twoFiles(), [](auto& l) { l.entryCountOnDisk = 2; })), kBadBounds},
        {"count one more than the records",
         buildZip(with(twoFiles(), [](auto& l) { l.entryCount = 4; })), kBadRecord},
        {"directory starting inside the end record",
         buildZip(with(twoFiles(),
                       [&](auto& l) {
                           l.directoryOffset = static_cast<std::uint32_t>(baseSize - 10);
                           l.directorySize = 0;
                       })),
         kBadBounds},
        {"bad record signature",
         buildZip(with(twoFiles(), [](auto& l) { l.entries[1].signature = 0x04034B50; })),
         kBadRecord},
        {"encrypted file", buildZip(with(twoFiles(), [](auto& l) { l.entries[2].flags = 0x0001; })),
         kEncrypted},
        {"encrypted directory entry",
         buildZip(with(twoFiles(), [](auto& l) { l.entries[1].flags = 0x0809; })), kEncrypted},
        {"encryption is checked before the empty name",
         buildZip(with(twoFiles(),
                       [](auto& l) {
                           l.entries[0].flags = 1;
                           l.entries[0].name.clear();
                       })),
         kEncrypted},
        {"empty name", buildZip(with(twoFiles(), [](auto& l) { l.entries[2].name.clear(); })),
         kEmptyName},
        {"name running past the end of the directory",
         buildZip(with(twoFiles(), [](auto& l) { l.entries[2].nameLength = 0xFFFF; })),
         kNameUnreadable},
        {"extra field running past the end of the directory",
         buildZip(with(twoFiles(), [](auto& l) { l.entries[2].extraLength = 0xFFFF; })),
         kBadEntryLengths},
        {"comment running past the end of the directory",
         buildZip(with(twoFiles(), [](auto& l) { l.entries[2].commentLength = 0x8000; })),
         kBadEntryLengths},
        {"extra and comment reaching into the end record",
         buildZip(with(twoFiles(),
                       [](auto& l) {
                           l.entries[2].extraLength = 11;
                           l.entries[2].commentLength = 11; // 22: the end record
                       })),
         kBadEntryLengths},
        {"extra fields and comments are skipped",
         buildZip(with(twoFiles(),
                       [](auto& l) {
                           l.entries[0].extra = std::string("UT\x05\0\x01\0\0\0\0", 9);
                           l.entries[0].comment = "a comment";
                           l.entries[2].extra = std::string(300, 'e');
                       })),
         "accepted 2 files, 12 bytes"},
        // Names as the extractors read them, and only what the Shell can unpack.
        {"Unicode Path naming another place",
         buildZip(with(
             twoFiles(),
             [](auto& l) { l.entries[2].extra = ziptest::unicodePathField("../../evil.txt"); })),
         kUnsafe + "../../evil.txt"},
        {"Unicode Path after another field, echoed printably",
         buildZip(with(twoFiles(),
                       [](auto& l) {
                           l.entries[2].extra = std::string("UT\x05\0\x01\0\0\0\0", 9) +
                                                ziptest::unicodePathField("dir/b\x1b.bin");
                       })),
         kUnsafe + "dir/b\\x1B.bin"},
        {"Unicode Path naming the entry's own name",
         buildZip(
             with(twoFiles(),
                  [](auto& l) { l.entries[2].extra = ziptest::unicodePathField("dir/b.bin"); })),
         "accepted 2 files, 12 bytes"},
        {"Unicode Path matching a name decoded in the ANSI code page",
         buildZip(with(
             simpleLayout({{"caf\xe9.txt", 4}}),
             [](auto& l) { l.entries[0].extra = ziptest::unicodePathField("caf\xc3\xa9.txt"); })),
         // The Shell reads it in the OEM code page, which differs here: the name is unclear
         // whatever the field says (the code-page table holds the case where they agree).
         "Tên file trong ZIP không rõ bảng mã: caf\xc3\xa9.txt"},
        {"an extra field cut short holds no Unicode Path",
         buildZip(with(twoFiles(),
                       [](auto& l) {
                           l.entries[2].extra = ziptest::unicodePathField("../evil").substr(0, 8);
                       })),
         "accepted 2 files, 12 bytes"},
        {"LZMA", buildZip(with(twoFiles(), [](auto& l) { l.entries[2].method = 14; })),
         kMethod + "14 (dir/b.bin)"},
        {"AES", buildZip(with(twoFiles(), [](auto& l) { l.entries[0].method = 99; })),
         kMethod + "99 (a.txt)"},
        {"stored, deflated and deflate64",
         buildZip(with(twoFiles(),
                       [](auto& l) {
                           l.entries[0].method = 8;
                           l.entries[2].method = 9;
                       })),
         "accepted 2 files, 12 bytes"},
        {"an unsafe name is reported before its method",
         buildZip(with(simpleLayout({{"../x", 1}}), [](auto& l) { l.entries[0].method = 14; })),
         kUnsafe + "../x"},
        {"directory entry with a size is not counted",
         buildZip(simpleLayout({{"dir/", 100}, {"dir\\sub\\", 50}, {"dir/a", 5}})),
         "accepted 1 files, 5 bytes"},
        {"directories only", buildZip(simpleLayout({{"dir/", 0}, {"dir/sub/", 9}})), kNoFiles},
        {"unsafe name before a damaged record",
         buildZip(with(simpleLayout({{"ok.txt", 1}, {"../evil", 2}, {"later", 3}}),
                       [](auto& l) { l.entries[2].signature = 0; })),
         kUnsafe + "../evil"},
        {"damaged record before an unsafe name",
         buildZip(with(simpleLayout({{"ok.txt", 1}, {"later", 3}, {"../evil", 2}}),
                       [](auto& l) { l.entries[1].signature = 0; })),
         kBadRecord},
        {"unsafe name keeps its own separators", buildZip(simpleLayout({{"a\\..\\b", 1}})),
         kUnsafe + "a\\..\\b"},
        {"sizes are zero-extended and summed in 64 bits",
         buildZip(simpleLayout({{"x", 0xFFFFFFFE}, {"y", 0xFFFFFFFE}})),
         "accepted 2 files, 8589934588 bytes"},
        {"compressed size marker",
         buildZip(with(twoFiles(), [](auto& l) { l.entries[2].compressedSize = 0xFFFFFFFF; })),
         kZip64},
        {"uncompressed size marker",
         buildZip(with(twoFiles(),
                       [](auto& l) {
                           l.entries[2].compressedSize = 7;
                           l.entries[2].uncompressedSize = 0xFFFFFFFF;
                       })),
         kZip64},
        {"local header offset marker",
         buildZip(with(twoFiles(), [](auto& l) { l.entries[2].localHeaderOffset = 0xFFFFFFFF; })),
         kZip64},
        {"start disk marker",
         buildZip(with(twoFiles(), [](auto& l) { l.entries[1].startDisk = 0xFFFF; })), kZip64},
        {"a ZIP64 marker is refused before the name is checked",
         buildZip(with(simpleLayout({{"../evil", 5}}),
                       [](auto& l) { l.entries[0].localHeaderOffset = 0xFFFFFFFF; })),
         kZip64},
        {"directory far before the tail window",
         buildZip(with(twoFiles(), [](auto& l) { l.leading = std::string(200000, 'd'); })),
         "accepted 2 files, 12 bytes"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(verifyBytes(row.bytes), row.expected) << row.label;
    }
}

} // namespace
} // namespace qv
