#include "shell/extracted_tree.h"

#include "core/errors.h"
#include "support/test_files.h"
#include "support/test_zip_writer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <utility>
#include <vector>

namespace qv {
namespace {

namespace fs = std::filesystem;

// An entry as the list holds it.
struct Listed {
    std::wstring name;
    std::uint32_t size;
    std::uint32_t crc32;
    bool isFolder;
};

ZipEntryList listOf(const std::vector<Listed>& entries) {
    ZipEntryList list;
    for (const Listed& entry : entries) {
        list.add(entry.name, entry.size, entry.crc32, entry.isFolder);
    }
    return list;
}

Listed listed(std::wstring name, const std::string& content) {
    const auto crc =
        crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size()));
    return {std::move(name), static_cast<std::uint32_t>(content.size()),
            static_cast<std::uint32_t>(crc), false};
}

std::string describe(const TreeComparison& found) {
    switch (found.difference) {
    case TreeDifference::None:
        return "same";
    case TreeDifference::Names:
        return "names differ at " + toUtf8(found.name);
    case TreeDifference::Contents:
        return "contents differ at " + toUtf8(found.name);
    }
    return "?";
}

TEST(ExtractedTree, HeldAgainstTheListByNameSizeAndCrc) {
    const std::string alpha = "alpha";
    const std::string big = test::sampleContent(300000, 4); // more than one read
    std::string bigChanged = big;
    bigChanged.back() = bigChanged.back() == 'a' ? 'b' : 'a';
    const ZipEntryList list = listOf({listed(L"a.txt", alpha),
                                      {L"dir/", 0, 0, true},
                                      listed(L"dir//T\u1ea3i v\u1ec1.bin", big),
                                      listed(L"empty", "")});
    using Tree = std::vector<std::pair<std::wstring, std::string>>;
    const Tree asListed = {{L"a.txt", alpha}, {L"dir\\T\u1ea3i v\u1ec1.bin", big}, {L"empty", ""}};
    const struct {
        const char* label;
        Tree files;
        const wchar_t* folder; // an extra folder, or null
        std::string expected;
    } rows[] = {
        {"as listed", asListed, nullptr, "same"},
        {"letter case differs, as Windows ignores it",
         {{L"A.TXT", alpha}, {L"DIR\\T\u1ea2I V\u1ec0.BIN", big}, {L"EMPTY", ""}},
         nullptr,
         "same"},
        {"an empty folder the list lacks", asListed, L"more\\deep", "same"},
        {"missing file",
         {{L"a.txt", alpha}, {L"empty", ""}},
         nullptr,
         "names differ at dir//T\xe1\xba\xa3i v\xe1\xbb\x81.bin"},
        {"file the list lacks",
         {{L"a.txt", alpha}, {L"dir\\T\u1ea3i v\u1ec1.bin", big}, {L"empty", ""}, {L"x", "1"}},
         nullptr,
         "names differ at x"},
        {"a folder where a file was listed",
         {{L"a.txt", alpha}, {L"dir\\T\u1ea3i v\u1ec1.bin", big}},
         L"empty",
         "names differ at empty"},
        {"other size",
         {{L"a.txt", "alph"}, {L"dir\\T\u1ea3i v\u1ec1.bin", big}, {L"empty", ""}},
         nullptr,
         "contents differ at a.txt"},
        {"other bytes, the last one past the first read",
         {{L"a.txt", alpha}, {L"dir\\T\u1ea3i v\u1ec1.bin", bigChanged}, {L"empty", ""}},
         nullptr,
         "contents differ at dir//T\xe1\xba\xa3i v\xe1\xbb\x81.bin"},
    };
    for (const auto& row : rows) {
        test::TempFolder folder;
        for (const auto& [name, content] : row.files) {
            test::writeFile(folder / name, content);
        }
        if (row.folder != nullptr) {
            fs::create_directories(folder / row.folder);
        }
        EXPECT_EQ(describe(compareExtractedTree(folder.path(), list)), row.expected) << row.label;
    }
}

TEST(ExtractedTree, TheLongestEntryBelowTheFolderMustStayUnderMaxPath) {
    test::TempFolder folder;
    // The folder, a separator, the name and the terminating null: 259 fits, 260 does not.
    const std::size_t room = 258 - 1 - fs::absolute(folder.path()).wstring().size();
    const std::wstring fits(room, L'f');
    const std::wstring tooLong = L"d/" + std::wstring(room - 1, L'n');
    auto outcome = [&](const std::vector<Listed>& entries) {
        try {
            checkExtractedPathLengths(folder.path(), listOf(entries));
            return std::string("fits");
        } catch (const std::exception& error) {
            return std::string(error.what());
        }
    };
    EXPECT_EQ(outcome({{L"a", 1, 0, false}, {fits, 1, 0, false}}), "fits");
    EXPECT_EQ(outcome({{fits + L"/", 0, 0, true}}), "fits"); // a folder's separator is not counted
    EXPECT_EQ(outcome({{fits, 1, 0, false}, {tooLong, 1, 0, false}, {L"b", 1, 0, false}}),
              "Đường dẫn trong ZIP quá dài: " + toUtf8(tooLong));
    EXPECT_EQ(outcome({}), "fits");
}

} // namespace
} // namespace qv
