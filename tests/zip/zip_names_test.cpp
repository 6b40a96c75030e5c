#include "zip/zip_names.h"

#include "core/errors.h"
#include "zip/name_archives.h"
#include "zip/verify_outcome.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace qv {
namespace {

using ziptest::acceptedFiles;
using ziptest::buildZip;
using ziptest::kSameName;
using ziptest::kUnsafe;
using ziptest::namesArchive;
using ziptest::NamesRow;
using ziptest::repeat;
using ziptest::verifyBytes;
using ziptest::ZipEntry;
using ziptest::ZipLayout;

TEST(ZipPathSafety, Table) {
    const std::pair<std::wstring, bool> rows[] = {
        {L"../x", false},
        {L"a/../b", false},
        {L"./a", false},
        {L"a/./b", false},
        {L"/x", false},
        {L"\\x", false},
        {L"C:/x", false},
        {L"C:x", false},
        {L"a:b", false},
        {L"\\\\server\\share", false},
        {L"", false},
        {L"..", false},
        {L".", false},
        {L"a/..", false},
        {L"a\\.", false},
        {L"..\\x", false},
        {L"a/b/../../..", false},
        {L"a//b", true},
        {L"dir/", true},
        {L"x\\", true},
        {L"..a/b", true},
        {L"T\u1ea3i v\u1ec1.txt", true},
        // A segment that ends in a dot or a blank is refused, whatever it holds before.
        {L".../x", false},
        {L". ./c", false},
        {L"a.b/c..", false},
    };
    for (const auto& [name, safe] : rows) {
        EXPECT_EQ(isSafeZipPath(name), safe) << toUtf8(name);
    }
    std::wstring caller = L"a/./b";
    EXPECT_FALSE(isSafeZipPath(caller));
    EXPECT_EQ(caller, L"a/./b");
    caller = L"dir/aux.txt";
    EXPECT_FALSE(isSafeZipPath(caller));
    EXPECT_EQ(caller, L"dir/aux.txt");
}

TEST(ZipNames, NamesWindowsCannotStoreAsWrittenAreRefused) {
    // Device names, then segment endings, characters and lengths (the last in UTF-16 units).
    std::vector<std::string> refused = {"aux.txt",
                                        "data/nul.txt",
                                        "Aux",
                                        "con.d",
                                        "PRN",
                                        "nul .txt",
                                        "COM0",
                                        "lpt9.log",
                                        "LPT\xc2\xb9",
                                        "com\xc2\xb2/x",
                                        "Com\xc2\xb3.txt",
                                        "CONIN$",
                                        "a/conout$",
                                        "Quorvalent.exe.",
                                        "a /b.txt",
                                        ".. /x",
                                        ".../x",
                                        "dir. /",
                                        "a<b",
                                        "a>b",
                                        "\"q\"",
                                        "a|b",
                                        "why?",
                                        "*.txt"};
    refused.push_back(std::string(256, 'n'));
    refused.push_back("d/" + repeat("\xe1\xba\xa3", 256) + "/f");
    for (const std::string& name : refused) {
        EXPECT_EQ(verifyBytes(namesArchive({"ok.txt", name})), kUnsafe + name) << name;
    }

    // Among them an ellipsis (not three dots), a full-width CON and A, a no-break space (no
    // blank to Windows) and a C1 control (allowed in a name, though echoed escaped).
    std::vector<std::string> nearMisses = {"console.txt",
                                           "COM10",
                                           "LPT",
                                           "nul_",
                                           "COM\xe2\x81\xb4",
                                           "CONIN$.txt",
                                           "a.b/c",
                                           "\xe2\x80\xa6",
                                           "\xef\xbc\xa3\xef\xbc\xaf\xef\xbc\xae",
                                           "\xef\xbc\xa1.txt",
                                           "a\xc2\xa0",
                                           "a\xc2\x85_b"};
    nearMisses.push_back(std::string(255, 'n'));
    nearMisses.push_back("d/" + repeat("\xe1\xba\xa3", 255) + "/f");
    EXPECT_EQ(verifyBytes(namesArchive(nearMisses)), acceptedFiles(14));
}

// Two entries may not name one place, as Windows compares names; a refused name is echoed
// printably.
TEST(ZipNames, EntriesNamingOnePlaceAreRefusedAndNamesEchoedPrintably) {
    const NamesRow rows[] = {
        {"letter case", {"Readme.txt", "README.TXT"}, kSameName + "README.TXT"},
        {"same name twice", {"a/b", "a/b"}, kSameName + "a/b"},
        {"separators differ", {"a/b", "A\\B"}, kSameName + "A\\B"},
        {"doubled separator", {"a/b", "a//b"}, kSameName + "a//b"},
        {"file, then folder of that name", {"x", "x/y.txt"}, kSameName + "x/y.txt"},
        {"folder, then file of that name", {"x/y.txt", "X"}, kSameName + "X"},
        {"file deep below a file", {"a/b", "A/B/c/d"}, kSameName + "A/B/c/d"},
        {"folder entry, then file", {"x/", "x", "z"}, kSameName + "x"},
        {"file, then folder entry", {"x", "X/"}, kSameName + "X/"},
        {"Vietnamese letters",
         {"T\xe1\xba\xa3i.txt", "T\xe1\xba\xa2I.TXT"},
         kSameName + "T\xe1\xba\xa2I.TXT"},
        {"full-width letters", {"\xef\xbd\x81", "\xef\xbc\xa1"}, kSameName + "\xef\xbc\xa1"},
        {"collision after a folder repeated", {"d/", "D/", "d/a", "D/A"}, kSameName + "D/A"},
        // Not one place.
        {"folder entries repeated, with their files",
         {"dir/", "DIR/", "dir/a", "Dir\\b"},
         acceptedFiles(2)},
        {"implied folder, then its entry", {"p/q/r", "P/", "p/Q/"}, acceptedFiles(1)},
        {"prefix that is no folder", {"ab", "a/b", "abc/d", "a.b"}, acceptedFiles(4)},
        {"sharp s is not SS",
         {"stra\xc3\x9f"
          "e",
          "STRASSE"},
         acceptedFiles(2)},
        {"letters that only look alike", {"A", "\xce\x91"}, acceptedFiles(2)}, // Latin, Greek
        {"escape sequence", {"x\x1b[2J.txt"}, kUnsafe + "x\\x1B[2J.txt"},
        {"forged log line",
         {"a\r\n2025-01-01 00:00:00 forged.txt"},
         kUnsafe + "a\\x0D\\x0A2025-01-01 00:00:00 forged.txt"},
        {"tab and delete", {"a\tb\x7f"}, kUnsafe + "a\\x09b\\x7F"},
        {"C1 control", {"a\xc2\x85/../b"}, kUnsafe + "a\\x85/../b"},
        {"same name", {"n\xc2\x9b", "N\xc2\x9b"}, kSameName + "N\\x9B"},
    };
    for (const NamesRow& row : rows) {
        EXPECT_EQ(verifyBytes(namesArchive(row.names)), row.expected) << row.label;
    }
}

TEST(ZipNames, CollisionFoundAmongManyPlaces) {
    // Four places per entry, so the table outgrows its first size before the repeat arrives.
    std::vector<std::string> names;
    for (int i = 0; i < 20000; ++i) {
        const std::string n = std::to_string(i);
        names.push_back("a" + n + "/b" + n + "/c" + n + "/file" + n);
    }
    EXPECT_EQ(verifyBytes(namesArchive(names)), acceptedFiles(20000));
    names.push_back("A7/B7/C7/FILE7");
    EXPECT_EQ(verifyBytes(namesArchive(names)), kSameName + "A7/B7/C7/FILE7");
    names.back() = "a19999/b19999/c19999/file19999/x";
    EXPECT_EQ(verifyBytes(namesArchive(names)), kSameName + "a19999/b19999/c19999/file19999/x");
}

TEST(ZipNames, DecodingFollowsTheUtf8Flag) {
    const std::string vietnamese = "../T\xe1\xba\xa3i v\xe1\xbb\x81.txt"; // "../Tải về.txt"
    const std::string notUtf8 = "caf\xe9/../x";

    const ZipEntry flagged = ziptest::entry(vietnamese, 0, 0x0800);
    const ZipEntry invalidFlagged = ziptest::entry(notUtf8, 0, 0x0800);
    const ZipEntry unflagged = ziptest::entry(vietnamese);

    auto archiveOf = [](const ZipEntry& entry) {
        ZipLayout layout;
        layout.entries = {entry};
        return buildZip(layout);
    };
    // The expected names below are read in Windows-1252, the test prefix's ANSI code page.
    if (::GetACP() != 1252) {
        GTEST_SKIP() << "the ANSI code page here is " << ::GetACP();
    }
    EXPECT_EQ(verifyBytes(archiveOf(flagged)), kUnsafe + vietnamese);
    // Not refused as undecodable: the ANSI code page takes over.
    EXPECT_EQ(verifyBytes(archiveOf(invalidFlagged)), kUnsafe + "caf\xc3\xa9/../x");
    // Without the flag the bytes are ANSI even when they happen to be valid UTF-8. Windows-1252
    // has no character for byte 0x81: it decodes to the C1 control U+0081, which the message
    // shows escaped.
    EXPECT_EQ(verifyBytes(archiveOf(unflagged)),
              kUnsafe + "../T\xc3\xa1\xc2\xba\xc2\xa3i v\xc3\xa1\xc2\xbb\\x81.txt");
    EXPECT_NE(verifyBytes(archiveOf(unflagged)), kUnsafe + vietnamese);

    const ZipEntry safeVietnamese = ziptest::entry(vietnamese.substr(3), 42, 0x0800);
    EXPECT_EQ(verifyBytes(archiveOf(safeVietnamese)), "accepted 1 files, 42 bytes");

    // Where the ANSI and OEM code pages differ, the Shell writes a name without the flag under
    // another name than the one checked here. An English system (1252 and 437), a Vietnamese
    // one (1258 for both).
    const NameCodePages english{1252, 437};
    const NameCodePages vietnameseSystem{1258, 1258};
    const std::string unclear = "Tên file trong ZIP không rõ bảng mã: ";
    // As Info-ZIP's zip writes a name on Linux: UTF-8 bytes without the flag.
    const std::string utf8Bytes = "T\xc3\xa0i li\xe1\xbb\x87u/a.txt"; // "Tài liệu/a.txt"
    ZipEntry withUnicodePath = ziptest::entry("caf\xe9.txt", 1);
    withUnicodePath.extra = ziptest::unicodePathField("caf\xc3\xa9.txt");
    const struct {
        const char* label;
        ZipEntry entry;
        NameCodePages pages;
        std::string expected;
    } rows[] = {
        {"ANSI byte, pages differ", ziptest::entry("caf\xe9.txt", 1), english,
         unclear + "caf\xc3\xa9.txt"},
        {"ANSI byte, pages agree", ziptest::entry("caf\xe9.txt", 1), vietnameseSystem,
         "accepted 1 files, 1 bytes"},
        {"UTF-8 bytes unflagged, pages differ", ziptest::entry(utf8Bytes, 1), english,
         unclear + "T\xc3\x83\xc2\xa0i li\xc3\xa1\xc2\xbb\xe2\x80\xa1u/a.txt"},
        {"UTF-8 bytes unflagged, pages agree", ziptest::entry(utf8Bytes, 1), vietnameseSystem,
         "accepted 1 files, 1 bytes"},
        {"the same bytes flagged", ziptest::entry(utf8Bytes, 1, 0x0800), english,
         "accepted 1 files, 1 bytes"},
        {"ASCII only, unflagged", ziptest::entry("plain/a.txt", 1), english,
         "accepted 1 files, 1 bytes"},
        {"a Unicode Path field does not settle it", withUnicodePath, english,
         unclear + "caf\xc3\xa9.txt"},
        {"a Unicode Path field matching, pages agree", withUnicodePath, vietnameseSystem,
         "accepted 1 files, 1 bytes"},
        {"an unsafe name is refused as unsafe first", ziptest::entry("../caf\xe9", 1), english,
         kUnsafe + "../caf\xc3\xa9"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(verifyBytes(archiveOf(row.entry), &row.pages), row.expected) << row.label;
    }
}

} // namespace
} // namespace qv
