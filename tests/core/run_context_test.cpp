#include "core/directory_walk.h"
#include "core/earlier_work_folders.h"
#include "core/errors.h"
#include "core/held_folder.h"
#include "core/install_log.h"
#include "core/installer_mutex.h"
#include "core/scoped_folder.h"
#include "core/system_places.h"
#include "core/work_folder.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <shlobj.h>
#include <stdexcept>
#include <thread>
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
TEST(InstallerMutex, OneRunAtATimeAndADeadRunsMutexIsTakenOver) {
    const std::wstring name =
        L"QuorvalentInstallerNative-test-" + std::to_wstring(GetCurrentProcessId());
    const std::string busy = "Một trình cài đặt Quorvalent khác đang chạy.";
    // Takes the mutex on another thread (within 10 s), which ends holding it or waits for
    // `release`.
    const auto otherRun = [&](HANDLE taken, HANDLE release) {
        return std::thread([&name, taken, release] {
            InstallerMutex other = openInstallerMutex(name.c_str());
            if (WaitForSingleObject(other.mutex.get(), 10000) == WAIT_TIMEOUT) {
                return;
            }
            SetEvent(taken);
            if (release != nullptr) {
                WaitForSingleObject(release, INFINITE);
                ReleaseMutex(other.mutex.get());
            }
        });
    };
    const auto outcome = [&] {
        try {
            return holdInstallerMutex(name.c_str()) ? std::string("held") : std::string("empty");
        } catch (const std::runtime_error& error) {
            return std::string(error.what());
        }
    };
    const UniqueResource<HANDLE, closeKernelHandle> taken(
        CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const UniqueResource<HANDLE, closeKernelHandle> release(
        CreateEventW(nullptr, TRUE, FALSE, nullptr));

    EXPECT_EQ(outcome(), "held") << "nobody holds it";
    {
        std::thread other = otherRun(taken.get(), release.get());
        EXPECT_EQ(WaitForSingleObject(taken.get(), 15000), WAIT_OBJECT_0);
        EXPECT_EQ(outcome(), busy) << "another run holds it";
        SetEvent(release.get());
        other.join();
        EXPECT_EQ(outcome(), "held") << "the other run let go";
    }
    {
        // Kept open meanwhile, as a third run waiting would: with no handle left the mutex
        // would be gone instead of abandoned.
        const InstallerMutex kept = openInstallerMutex(name.c_str());
        ResetEvent(taken.get());
        std::thread other = otherRun(taken.get(), nullptr);
        other.join();
        EXPECT_EQ(outcome(), "held") << "the other run died holding it";
    }
    {
        // Another run waiting on the mutex keeps it alive: this one must let go of it.
        HeldMutex mine = holdInstallerMutex(name.c_str());
        ResetEvent(taken.get());
        ResetEvent(release.get());
        std::thread other = otherRun(taken.get(), release.get());
        EXPECT_EQ(WaitForSingleObject(taken.get(), 200), static_cast<DWORD>(WAIT_TIMEOUT));
        mine.reset();
        EXPECT_EQ(WaitForSingleObject(taken.get(), 15000), WAIT_OBJECT_0) << "let go by its guard";
        SetEvent(release.get());
        other.join();
    }
    // What any user's program may make first, in the names every session shares or in its own,
    // held for as long as it likes: a mutex at the mutex's old name, at the names of the
    // installer's folder and mutex, and another kind of object at each. None keeps a run out.
    ResetEvent(taken.get());
    ResetEvent(release.get());
    std::thread squatter([&] {
        std::vector<UniqueResource<HANDLE, closeKernelHandle>> squatted;
        for (const std::wstring spelled :
             {L"QuorvalentInstallerNative-OneRunAtATime", L"QuorvalentInstallerNative",
              L"OneRunAtATime", name.c_str()}) {
            squatted.emplace_back(
                CreateMutexW(nullptr, TRUE /* held */, (L"Global\\" + spelled).c_str()));
            squatted.emplace_back(
                CreateEventW(nullptr, TRUE, FALSE, (L"Local\\" + spelled).c_str()));
        }
        SetEvent(taken.get());
        WaitForSingleObject(release.get(), INFINITE);
        for (std::size_t index = 0; index < squatted.size(); index += 2) {
            ReleaseMutex(squatted[index].get());
        }
    });
    EXPECT_EQ(WaitForSingleObject(taken.get(), 15000), WAIT_OBJECT_0);
    EXPECT_EQ(outcome(), "held") << "names taken in Global\\ and Local\\";
    SetEvent(release.get());
    squatter.join();
}

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

TEST(ProgramAndSpecialFolders, Resolve) {
    EXPECT_EQ(programPath().extension(), L".exe");
    EXPECT_TRUE(fs::exists(programPath()));
    const fs::path log = logFilePath();
    EXPECT_EQ(log.filename(), L"Installer-Native.log");
    EXPECT_EQ(log.parent_path().filename(), L"Quorvalent");
    EXPECT_EQ(log.parent_path().parent_path(), specialFolderPath(CSIDL_COMMON_APPDATA));
}

TEST(InstallLog, TimeStampFormat) {
    SYSTEMTIME time{};
    time.wYear = 2025;
    time.wMonth = 3;
    time.wDay = 7;
    time.wHour = 9;
    time.wMinute = 5;
    time.wSecond = 3;
    EXPECT_EQ(formatLogLine(time, "LỖI: x"), "2025-03-07 09:05:03 LỖI: x");
}

TEST(InstallLog, AppendsUtf8LineWithCrLf) {
    const fs::path log = logFilePath();
    std::error_code ignored;
    const auto before = fs::exists(log) ? fs::file_size(log) : 0;
    writeLog("LỖI: Không tải được gói");
    std::ifstream in(log, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GT(content.size(), before);
    const std::string added = content.substr(before);
    EXPECT_TRUE(std::regex_match(
        added, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d "
                          "L\xe1\xbb\x96I: Kh\xc3\xb4ng t\xe1\xba\xa3i \xc4\x91\xc6\xb0\xe1\xbb"
                          "\xa3\x63 g\xc3\xb3i\r\n")))
        << added;
}

// A second name for the log file would let the elevated append write wherever that name lives.
TEST(InstallLog, WritesNothingThroughASecondHardLink) {
    const fs::path log = logFilePath();
    writeLog("trước khi có liên kết");
    test::TempFolder outside;
    const fs::path other = outside / L"other-name.log";
    ASSERT_TRUE(CreateHardLinkW(other.c_str(), log.c_str(), nullptr));
    const std::string before = test::readFile(log);

    writeLog("qua liên kết cứng");
    EXPECT_EQ(test::readFile(log), before);

    ASSERT_TRUE(DeleteFileW(other.c_str()));
    writeLog("sau khi gỡ liên kết");
    EXPECT_GT(test::readFile(log).size(), before.size()) << "a file of its own is written again";
}

} // namespace
} // namespace qv
