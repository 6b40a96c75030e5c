#include "core/held_folder.h"

#include "core/errors.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

namespace fs = std::filesystem;

const char* statusName(HoldStatus status) {
    switch (status) {
    case HoldStatus::Held:
        return "Held";
    case HoldStatus::Missing:
        return "Missing";
    case HoldStatus::Exists:
        return "Exists";
    case HoldStatus::NotAPlainFolder:
        return "NotAPlainFolder";
    case HoldStatus::Failed:
        return "Failed";
    }
    return "?";
}

// What is at the name before the hold, and what each mode makes of it.
struct HoldCase {
    const char* label;
    const char* present; // "", "folder", "file", or the name of a link of the link fixture
    HoldMode mode;
    HoldStatus expected;
};

using HoldFunction = HoldResult (*)(const HeldFolder&, std::wstring_view, HoldMode,
                                    PSECURITY_DESCRIPTOR);

// The link fixture (tests/support/with_link_fixture.py): links that only the host side can make.
fs::path linkFixture() {
    const std::wstring root = test::environmentText(L"QUORVALENT_LINK_FIXTURE");
    EXPECT_FALSE(root.empty()) << "run under tests.support.with_link_fixture";
    return root;
}

bool isLinkRow(const HoldCase& row) {
    return std::string(row.present).find("link") != std::string::npos;
}

TEST(HeldFolder, EachModeTakesOnlyWhatItMay) {
    const HoldCase cases[] = {
        {"missing, open", "", HoldMode::OpenExisting, HoldStatus::Missing},
        {"missing, create", "", HoldMode::CreateNew, HoldStatus::Held},
        {"missing, open or create", "", HoldMode::OpenOrCreate, HoldStatus::Held},
        {"folder, open", "folder", HoldMode::OpenExisting, HoldStatus::Held},
        {"folder made by another, create", "folder", HoldMode::CreateNew, HoldStatus::Exists},
        {"folder, open or create", "folder", HoldMode::OpenOrCreate, HoldStatus::Held},
        {"file, open", "file", HoldMode::OpenExisting, HoldStatus::NotAPlainFolder},
        {"file, create", "file", HoldMode::CreateNew, HoldStatus::Exists},
        {"file, open or create", "file", HoldMode::OpenOrCreate, HoldStatus::NotAPlainFolder},
        // A system may follow a link although asked not to: the final path still tells.
        {"link to a folder, open", "root-link", HoldMode::OpenExisting,
         HoldStatus::NotAPlainFolder},
        {"link to a folder, create", "root-link", HoldMode::CreateNew, HoldStatus::Exists},
        {"link to a folder, open or create", "root-link", HoldMode::OpenOrCreate,
         HoldStatus::NotAPlainFolder},
        {"link to a file, open or create", "file-link", HoldMode::OpenOrCreate,
         HoldStatus::NotAPlainFolder},
        {"link to nothing, create", "dangling-link", HoldMode::CreateNew, HoldStatus::Exists},
        {"link to nothing, open or create", "dangling-link", HoldMode::OpenOrCreate,
         HoldStatus::NotAPlainFolder},
    };
    const fs::path links = linkFixture();
    for (const HoldFunction hold : {&holdChildFolder, &holdChildFolderWithoutDelete}) {
        for (const HoldCase& row : cases) {
            SCOPED_TRACE(std::string(row.label) +
                         (hold == &holdChildFolder ? "" : ", without DELETE access"));
            test::TempFolder temp;
            const fs::path parentPath = isLinkRow(row) ? links : temp.path();
            const std::wstring name =
                isLinkRow(row) ? toWide(row.present, CP_UTF8).value() : L"Hữu";
            const fs::path child = parentPath / name;
            if (std::string(row.present) == "folder") {
                test::writeFile(child / L"theirs.txt", "theirs");
            } else if (std::string(row.present) == "file") {
                test::writeFile(child, "theirs");
            }
            HoldResult parent = holdFolderAt(parentPath);
            ASSERT_EQ(parent.status, HoldStatus::Held);
            HoldResult held = hold(parent.folder, name, row.mode, nullptr);
            EXPECT_STREQ(statusName(held.status), statusName(row.expected));
            EXPECT_EQ(static_cast<bool>(held.folder), row.expected == HoldStatus::Held);
            if (held.folder) {
                EXPECT_EQ(held.folder.path(), child);
                EXPECT_TRUE(fs::is_directory(child));
            }
            if (std::string(row.present) == "file") {
                EXPECT_EQ(test::readFile(child), "theirs");
            }
        }
    }
    // A place taken as given goes by where it really is, not by the link it was reached through.
    const HoldResult through = holdFolderAt(links / L"root-link");
    ASSERT_EQ(through.status, HoldStatus::Held);
    EXPECT_EQ(through.folder.path(), links / L"outside");
    // Nothing was made where a link leads.
    EXPECT_EQ(test::readFile(links / L"outside\\secret.txt"), "secret!");
    EXPECT_FALSE(fs::exists(links / L"nowhere"));
    EXPECT_FALSE(fs::exists(links / L"outside\\Hữu"));
}

// What exists on the way is taken as the system resolves it; only what is missing is made, and
// a missing folder is never made where a link leads.
TEST(HeldFolder, MadeAtMakesOnlyWhatIsMissing) {
    const struct {
        const char* label;
        const char* present; // "", "folder" (a), "file" (a), or "links" for the link fixture
        const wchar_t* wanted;
        HoldStatus expected;
    } rows[] = {
        {"there already", "folder", L"a", HoldStatus::Held},
        {"three levels missing", "", L"a\\b\\c", HoldStatus::Held},
        {"a file on the way", "file", L"a\\b", HoldStatus::NotAPlainFolder},
        {"a link to nothing on the way", "links", L"dangling-link\\x", HoldStatus::NotAPlainFolder},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        test::TempFolder temp;
        const std::string present = row.present;
        const fs::path base = present == "links" ? linkFixture() : temp.path();
        if (present == "folder") {
            test::writeFile(base / L"a" / L"theirs.txt", "theirs");
        } else if (present == "file") {
            test::writeFile(base / L"a", "theirs");
        }
        const HoldResult held = holdFolderMadeAt(base / row.wanted);
        EXPECT_STREQ(statusName(held.status), statusName(row.expected));
        EXPECT_EQ(fs::is_directory(base / row.wanted), row.expected == HoldStatus::Held);
        if (present == "folder") {
            EXPECT_EQ(test::readFile(base / L"a" / L"theirs.txt"), "theirs");
        } else if (present == "file") {
            EXPECT_EQ(test::readFile(base / L"a"), "theirs");
        }
    }
    EXPECT_FALSE(fs::exists(linkFixture() / L"nowhere"));
}

// While held, the folder keeps its name and place: an unelevated program of the same user can
// neither rename it away nor delete it to put its own in its place.
TEST(HeldFolder, CannotBeRenamedOrDeletedWhileHeldButIsOnceLetGo) {
    for (const HoldFunction hold : {&holdChildFolder, &holdChildFolderWithoutDelete}) {
        SCOPED_TRACE(hold == &holdChildFolder ? "with DELETE access" : "without DELETE access");
        test::TempFolder temp;
        HoldResult parent = holdFolderAt(temp.path());
        ASSERT_EQ(parent.status, HoldStatus::Held);
        HoldResult held = hold(parent.folder, L"held", HoldMode::CreateNew, nullptr);
        ASSERT_EQ(held.status, HoldStatus::Held);
        const fs::path moved = temp / L"moved";
        EXPECT_FALSE(MoveFileExW((temp / L"held").c_str(), moved.c_str(), 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_FALSE(RemoveDirectoryW((temp / L"held").c_str()));
        EXPECT_TRUE(fs::is_directory(temp / L"held"));
        held.folder.reset();
        EXPECT_TRUE(MoveFileExW((temp / L"held").c_str(), moved.c_str(), 0)) << GetLastError();
    }
}

// The calls below a held folder: a file made new, renamed into its place over an existing name
// (a second name of the old file keeps the old bytes), and deleted through its handle.
TEST(HeldFolder, ChildrenAreMadeRenamedAndDeletedThroughHandles) {
    test::TempFolder temp;
    test::writeFile(temp / L"target.txt", "old");
    ASSERT_TRUE(CreateHardLinkW((temp / L"second-name.txt").c_str(), (temp / L"target.txt").c_str(),
                                nullptr));
    HoldResult parent = holdFolderAt(temp.path());
    ASSERT_EQ(parent.status, HoldStatus::Held);
    const HANDLE folder = parent.folder.handle();

    RelativeOpen fresh = openRelative(folder, L"new.tmp", GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                                      FILE_NON_DIRECTORY_FILE);
    ASSERT_TRUE(fresh.file) << fresh.error;
    EXPECT_TRUE(fresh.created);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(fresh.file.get(), "new", 3, &written, nullptr));
    EXPECT_EQ(renameByHandle(fresh.file.get(), folder, L"target.txt", false),
              static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(renameByHandle(fresh.file.get(), folder, L"target.txt", true), 0u);
    fresh.file.reset();
    EXPECT_EQ(test::readFile(temp / L"target.txt"), "new");
    EXPECT_EQ(test::readFile(temp / L"second-name.txt"), "old");

    EXPECT_EQ(openRelative(folder, L"new.tmp", GENERIC_READ, 0, FILE_OPEN, 0).error,
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(openRelative(folder, L"..\\escape", GENERIC_READ, 0, FILE_OPEN, 0).error,
              static_cast<DWORD>(ERROR_INVALID_NAME));

    RelativeOpen doomed = openRelative(folder, L"second-name.txt", DELETE, FILE_SHARE_READ,
                                       FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    ASSERT_TRUE(doomed.file) << doomed.error;
    EXPECT_EQ(deleteByHandle(doomed.file.get()), 0u);
    doomed.file.reset();
    EXPECT_FALSE(fs::exists(temp / L"second-name.txt"));
    EXPECT_EQ(test::readFile(temp / L"target.txt"), "new");
}

} // namespace
} // namespace qv
