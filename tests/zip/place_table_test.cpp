#include "zip/place_table.h"

#include "zip/name_archives.h"
#include "zip/verify_outcome.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qv {
namespace {

using ziptest::acceptedFiles;
using ziptest::kSameName;
using ziptest::kUnsafe;
using ziptest::namesArchive;
using ziptest::NamesRow;
using ziptest::repeat;
using ziptest::verifyBytes;

TEST(ZipNames, EntriesNamingOnePlaceAreRefused) {
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

TEST(PlaceTable, KeepsEveryPlaceWhileGrowingFromItsSmallestSize) {
    PlaceTable table(0, 0);
    // 3,000 files in 300 folders outgrow the first 64 slots several times over; every other
    // name is prepared from its bytes, the rest keyed by add() alone.
    for (int i = 0; i < 3000; ++i) {
        const std::string name = "d" + std::to_string(i % 300) + "/f" + std::to_string(i);
        if (i % 2 == 0) {
            table.prepare(name);
        }
        ASSERT_TRUE(table.add(std::wstring(name.begin(), name.end()), false)) << name;
    }
    for (int i = 0; i < 3000; i += 7) {
        EXPECT_FALSE(
            table.add(L"D" + std::to_wstring(i % 300) + L"\\F" + std::to_wstring(i), false))
            << i;
    }
    EXPECT_TRUE(table.add(L"d5/", true));       // a folder known from its files
    EXPECT_FALSE(table.add(L"D5", false));      // a file where that folder is
    EXPECT_TRUE(table.add(L"d5/f3000", false)); // a new name in a known folder
    // A name beyond ASCII is not prepared from its bytes: add() keys it after decoding.
    table.prepare("T\xe1\xba\xa3i/\xe1\xbb\xaf");
    EXPECT_TRUE(table.add(L"T\u1ea3i/\u1eef", false));
    EXPECT_FALSE(table.add(L"T\u1ea2I/\u1eee", false));
}

} // namespace
} // namespace qv
