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
using ziptest::kSameName;
using ziptest::kUnsafe;
using ziptest::namesArchive;
using ziptest::NamesRow;
using ziptest::repeat;
using ziptest::verifyBytes;

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

TEST(ZipNames, RefusedNamesAreEchoedPrintably) {
    const NamesRow rows[] = {
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

} // namespace
} // namespace qv
