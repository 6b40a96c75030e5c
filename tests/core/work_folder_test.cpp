#include "core/directory_walk.h"
#include "core/earlier_work_folders.h"
#include "core/errors.h"
#include "core/held_folder.h"
#include "core/scoped_folder.h"
#include "core/work_folder.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <stdexcept>
#include <vector>

namespace qv {
namespace {

namespace fs = std::filesystem;

TEST(WorkDirectory, NameAndPlace) {
    EXPECT_EQ(workDirectoryName(4242, 123456789012ULL),
              L"QuorvalentInstallerNative-4242-123456789012");
    const ScopedFolder guard(createWorkDirectory());
    const fs::path folder = guard.path();
    EXPECT_TRUE(fs::is_directory(folder));
    const std::wstring prefix =
        L"QuorvalentInstallerNative-" + std::to_wstring(GetCurrentProcessId()) + L"-";
    EXPECT_EQ(folder.filename().wstring().rfind(prefix, 0), 0u) << folder.string();
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    EXPECT_EQ(folder, fs::path(temp) / folder.filename());
}

// Read through the security API rather than compared as text: a rule that looks right in SDDL
// but grants the wrong rights, skips inheritance or inherits from TEMP must fail here.
TEST(WorkDirectory, AccessRulesGiveOnlySystemAndAdministratorsFullControlPassedDown) {
    const UniqueLocalMemory descriptor = workFolderSecurityDescriptor();
    ASSERT_TRUE(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "nothing may be inherited from TEMP";

    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl != nullptr);
    ASSERT_EQ(dacl->AceCount, 2);
    const WELL_KNOWN_SID_TYPE expected[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid};
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, index, &ace));
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(allowed->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(allowed->Mask, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        EXPECT_TRUE(IsWellKnownSid(sid, expected[index])) << "ACE " << index;
    }
}

// The name is predictable (process id and tick count), so an unelevated program can create it
// first and fill it, or put a file there: neither may be adopted, nor stop the run. TEMP comes
// from the user's settings: it is never created, and a volume that keeps no access rules (the
// test prefix's drive V: is reported as FAT), or a share, would make the work folder's own void.
TEST(WorkDirectory, TakesOnlyAFolderItMadeWhereTempKeepsAccessRules) {
    const struct {
        const char* label;
        const char* present; // at the work folder's name beforehand
        fs::path temp;       // below the test folder, or absolute
        bool created;        // otherwise "Không tạo được thư mục làm việc."
    } cases[] = {
        {"a free name", "", L"", true},
        {"a folder of that name made in advance", "folder", L"", true},
        {"a file of that name made in advance", "file", L"", true},
        {"TEMP missing", "", L"missing\\Temp", false},
        {"TEMP on a volume without access rules", "", L"V:\\", false},
        // The test prefix serves \\attacker\share from a local folder.
        {"TEMP on a share", "", L"\\\\attacker\\share\\Temp", false},
    };
    ASSERT_NE(GetFileAttributesW(L"V:\\"), INVALID_FILE_ATTRIBUTES) << "the test prefix lacks V:";
    ASSERT_NE(GetFileAttributesW(L"\\\\attacker\\share\\Temp"), INVALID_FILE_ATTRIBUTES)
        << "the test prefix lacks the share";
    const std::wstring name = L"QuorvalentInstallerNative-1-2";
    for (const auto& row : cases) {
        SCOPED_TRACE(row.label);
        test::TempFolder root;
        // A share's name is no root name to this library's paths: it is taken whole.
        const fs::path temp =
            row.temp.wstring().rfind(L"\\\\", 0) == 0 ? row.temp : root / row.temp;
        const fs::path planted =
            std::string(row.present) == "folder" ? temp / name / L"x.dll" : temp / name;
        if (*row.present != '\0') {
            test::writeFile(planted, "not ours");
        }
        std::string message;
        fs::path made;
        try {
            made = createWorkDirectoryAt(temp, name).path();
        } catch (const std::runtime_error& error) {
            message = error.what();
        }
        EXPECT_EQ(message, row.created ? "" : "Không tạo được thư mục làm việc.");
        if (row.created) {
            // The name itself when it was free, else the name, "-" and eight hexadecimal digits.
            const std::wstring taken = made.filename().wstring();
            EXPECT_EQ(taken.substr(0, name.size()), name);
            EXPECT_EQ(taken.size(), name.size() + (*row.present != '\0' ? 9 : 0));
            EXPECT_FALSE(fs::exists(made)) << "removed with its guard";
        }
        if (*row.present != '\0') {
            EXPECT_EQ(test::readFile(planted), "not ours");
        }
        EXPECT_FALSE(fs::exists(root / L"missing"));
    }
    EXPECT_FALSE(walkDirectory(L"V:\\", WalkOrder::FolderFirst, WalkErrors::Stop,
                               [](const WalkEntry&) { return false; })
                     .stoppedByVisitor)
        << "nothing made on the volume without access rules";
}

// Only names a run gives its work folder go, folders and links only, never this run's own, and
// a folder that another program holds (a running self-test's) stays as it is, silently.
TEST(WorkDirectory, EarlierRunsFoldersGoFromTemp) {
    const struct {
        const wchar_t* name;
        const char* kind; // "folder", "file", "own" (this run's), "held" (open elsewhere)
        bool removed;
    } rows[] = {
        {L"QuorvalentInstallerNative-4242-123456789012", "folder", true},
        {L"QuorvalentInstallerNative-1-2-0123abcd", "folder", true},
        {L"QuorvalentInstallerNative-3-4-0123ABCD", "folder", false},
        {L"QuorvalentInstallerNative-5-6-0123abc", "folder", false},
        {L"QuorvalentInstallerNative-9-10-moved-away", "folder", false},
        {L"QuorvalentInstallerNative-11", "folder", false},
        {L"QuorvalentInstallerNative--13", "folder", false},
        {L"QuorvalentInstallerNative-1x-14", "folder", false},
        {L"quorvalentinstallernative-17-18", "folder", false},
        {L"Other-19-20", "folder", false},
        {L"QuorvalentInstallerNative-21-22", "file", false},
        {L"QuorvalentInstallerNative-23-24", "own", false},
        {L"QuorvalentInstallerNative-25-26-89abcdef", "held", false},
    };
    test::TempFolder temp;
    std::vector<HoldResult> heldElsewhere;
    for (const auto& row : rows) {
        const fs::path place = temp / row.name;
        if (std::string(row.kind) == "file") {
            test::writeFile(place, "not a folder");
            continue;
        }
        test::writeFile(place / L"nested" / L"partial.zip.part", "left behind");
        test::writeFile(place / L"read-only.txt", "r");
        ASSERT_TRUE(
            SetFileAttributesW((place / L"read-only.txt").c_str(), FILE_ATTRIBUTE_READONLY));
        if (std::string(row.kind) == "held") {
            heldElsewhere.push_back(holdFolderAt(place));
            ASSERT_EQ(heldElsewhere.back().status, HoldStatus::Held);
        }
    }
    HoldResult held = holdFolderAt(temp.path());
    ASSERT_EQ(held.status, HoldStatus::Held);
    removeEarlierWorkFolders(held.folder, L"QuorvalentInstallerNative-23-24");
    heldElsewhere.clear();
    for (const auto& row : rows) {
        const fs::path place = temp / row.name;
        EXPECT_EQ(!fs::exists(place), row.removed) << fs::path(row.name).string();
        if (!row.removed && std::string(row.kind) != "file") {
            EXPECT_EQ(test::readFile(place / L"nested" / L"partial.zip.part"), "left behind")
                << fs::path(row.name).string();
        }
    }
}

// A second normal run is refused while one holds the mutex; a run that died holding it leaves
// it abandoned, and the next run takes it over. Threads stand in for the other runs: a mutex
// is held by a thread.
TEST(ScopedFolderGuard, RemovesTreeWhenAnExceptionLeavesTheScope) {
    fs::path folder;
    try {
        ScopedFolder guard(createWorkDirectory());
        folder = guard.path();
        fs::create_directories(folder / L"nested" / L"thư mục");
        std::ofstream(folder / L"nested" / L"file.bin") << "data";
        throw std::runtime_error("boom");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(fs::exists(folder));
}

} // namespace
} // namespace qv
