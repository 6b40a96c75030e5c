#include "zip/place_table.h"

#include <gtest/gtest.h>

#include <string>

namespace qv {
namespace {

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
