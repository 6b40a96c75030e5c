#include "core/errors.h"
#include "core/system_places.h"
#include "core/work_folder.h"
#include "install/inherited_security.h"
#include "install/install_files.h"
#include "install/install_site.h"
#include "install/placement_steps.h"
#include "install/update/file_update.h"
#include "install/update/update_record.h"
#include "install/update/update_recovery.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

const std::wstring kListing = L"    [Quorvalent] Đang lập danh sách tệp cần cài...\n";

std::wstring installed(const fs::path& source, const fs::path& destination) {
    test::ConsoleCapture console;
    installFiles(source, destination, L"Quorvalent");
    return console.out();
}

std::string failureOf(const fs::path& source, const fs::path& destination) {
    test::ConsoleCapture console;
    try {
        installFiles(source, destination, L"Quorvalent");
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<no exception>";
}

TEST(InstallFiles, OverlaysThePackageAndLeavesEverythingElse) {
    test::TempFolder folder;
    const fs::path source = folder / L"gói";
    const fs::path destination = folder / L"Cài đặt";
    writeFile(source / L"Quorvalent.exe", "new program");
    writeFile(source / L"thư viện" / L"a.dll", "new library");
    writeFile(source / L"thư viện" / L"sâu" / L"b.dat", std::string(5000, 'b'));
    writeFile(source / L"rỗng.txt", "");
    fs::create_directories(source / L"plugins" / L"empty");
    writeFile(destination / L"Quorvalent.exe", "an older and much longer program image");
    writeFile(destination / L"user.cfg", "the user's settings");
    writeFile(destination / L"thư viện" / L"extra.dll", "from an older version");
    fs::create_directories(destination / L"logs");

    const std::wstring output = installed(source, destination);

    EXPECT_EQ(readFile(destination / L"Quorvalent.exe"), "new program");
    EXPECT_EQ(readFile(destination / L"thư viện" / L"a.dll"), "new library");
    EXPECT_EQ(readFile(destination / L"thư viện" / L"sâu" / L"b.dat"), std::string(5000, 'b'));
    EXPECT_TRUE(fs::exists(destination / L"rỗng.txt"));
    EXPECT_TRUE(fs::is_directory(destination / L"plugins" / L"empty"));
    EXPECT_EQ(readFile(destination / L"user.cfg"), "the user's settings");
    EXPECT_EQ(readFile(destination / L"thư viện" / L"extra.dll"), "from an older version");
    EXPECT_TRUE(fs::is_directory(destination / L"logs"));

    EXPECT_EQ(output.rfind(kListing, 0), 0u) << toUtf8(output);
    const std::wstring closing =
        L"\r    [Quorvalent] Cài tệp 100% | 4 tệp | 4.90 KB                    \n";
    ASSERT_GE(output.size(), closing.size());
    EXPECT_EQ(output.substr(output.size() - closing.size()), closing) << toUtf8(output);
}

// Whatever is at a target's name is replaced as a name: a second name of an outside file leaves
// that file's bytes alone, and no attribute stops or survives the replacement.
TEST(InstallFiles, ReplacesWhateverIsAtATargetsName) {
    constexpr DWORD kSticky =
        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    const struct {
        const char* label;
        DWORD targetAttributes; // 0: no target
        bool secondName;        // the target is a second name of a file outside
        DWORD sourceAttributes;
    } cases[] = {
        {"a plain older file", FILE_ATTRIBUTE_NORMAL, false, FILE_ATTRIBUTE_NORMAL},
        {"read-only, hidden and system", kSticky, false, FILE_ATTRIBUTE_NORMAL},
        {"a second name of an outside file", FILE_ATTRIBUTE_NORMAL, true, FILE_ATTRIBUTE_NORMAL},
        {"a read-only second name of an outside file", kSticky, true, FILE_ATTRIBUTE_NORMAL},
        {"a read-only package file, no target", 0, false, FILE_ATTRIBUTE_READONLY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        test::TempFolder folder;
        const fs::path source = folder / L"src" / L"x.txt";
        const fs::path target = folder / L"dst" / L"x.txt";
        const fs::path outside = folder / L"outside.txt";
        writeFile(source, "new");
        ASSERT_TRUE(::SetFileAttributesW(source.c_str(), c.sourceAttributes));
        fs::create_directories(target.parent_path());
        if (c.secondName) {
            writeFile(outside, "outside");
            ASSERT_TRUE(::CreateHardLinkW(target.c_str(), outside.c_str(), nullptr));
        } else if (c.targetAttributes != 0) {
            writeFile(target, "old");
        }
        if (c.targetAttributes != 0) {
            ASSERT_TRUE(::SetFileAttributesW(target.c_str(), c.targetAttributes));
        }
        // What an earlier run left beside the installation goes, a second name of an outside
        // file as a name only; a folder that only looks like a run's, and what is not a run's
        // own in a run's folder, stay.
        const fs::path leftover = folder / L"dst.update-1-2";
        writeFile(leftover / L"old-1" / L"1", "old copy");
        ASSERT_TRUE(
            ::SetFileAttributesW((leftover / L"old-1" / L"1").c_str(), FILE_ATTRIBUTE_READONLY));
        writeFile(folder / L"kept.txt", "kept");
        ASSERT_TRUE(::CreateHardLinkW((leftover / L"old-1" / L"2").c_str(),
                                      (folder / L"kept.txt").c_str(), nullptr));
        writeFile(leftover / L"new-3", "staged");
        // A run whose foreseen name was taken went on to a random suffix.
        const fs::path suffixed = folder / L"dst.update-7-8-0123abcd";
        writeFile(suffixed / L"old-1" / L"1", "old copy");
        const fs::path staying[] = {folder / L"dst.update-notes" / L"notes.txt",
                                    folder / L"dst.update-7-8-0123abcg" / L"1",
                                    folder / L"dst.update-3-4" / L"notes.txt",
                                    folder / L"dst.update-5-6" / L"old-1" / L"1"};
        for (const fs::path& path : staying) {
            writeFile(path, "stays");
        }
        fs::create_directories(folder / L"dst.update-5-6" / L"kept");

        installed(folder / L"src", folder / L"dst");

        EXPECT_EQ(readFile(target), "new");
        EXPECT_EQ(::GetFileAttributesW(target.c_str()) & kSticky, 0u);
        if (c.secondName) {
            EXPECT_EQ(readFile(outside), "outside");
            EXPECT_EQ(::GetFileAttributesW(outside.c_str()) & kSticky, c.targetAttributes & kSticky)
                << "the outside file's attributes are its own";
        }
        EXPECT_EQ(readFile(folder / L"kept.txt"), "kept");
        EXPECT_FALSE(fs::exists(leftover));
        EXPECT_FALSE(fs::exists(suffixed));
        for (const fs::path& path : staying) {
            EXPECT_EQ(readFile(path), "stays");
            fs::remove_all(folder / *path.lexically_relative(folder.path()).begin());
        }
        for (const auto& entry : fs::directory_iterator(folder.path())) {
            EXPECT_EQ(entry.path().filename().wstring().find(L".update-"), std::wstring::npos)
                << "left beside the installation: " << entry.path().filename().string();
        }
    }
}

TEST(InstallFiles, DrawsTheLineOnlyWhenThePercentageRisesOrTheLastFileIsIn) {
    const struct {
        std::vector<size_t> fileSizes;
        std::wstring lines; // after the listing line
    } cases[] = {
        {{}, L"\r    [Quorvalent] Cài tệp 100% | 0 tệp | 0 B                    \n"},
        {{100},
         L"\r    [Quorvalent] Đang cài 100% | 1/1 tệp | 100 B/100 B          "
         L"\r    [Quorvalent] Cài tệp 100% | 1 tệp | 100 B                    \n"},
        // Nothing to weigh: every file is at 100%, the first and the last draw.
        {{0, 0, 0},
         L"\r    [Quorvalent] Đang cài 100% | 1/3 tệp | 0 B/0 B          "
         L"\r    [Quorvalent] Đang cài 100% | 3/3 tệp | 0 B/0 B          "
         L"\r    [Quorvalent] Cài tệp 100% | 3 tệp | 0 B                    \n"},
        {{1000, 1000, 1000, 1000},
         L"\r    [Quorvalent] Đang cài  25% | 1/4 tệp | 1000 B/3.91 KB          "
         L"\r    [Quorvalent] Đang cài  50% | 2/4 tệp | 1.95 KB/3.91 KB          "
         L"\r    [Quorvalent] Đang cài  75% | 3/4 tệp | 2.93 KB/3.91 KB          "
         L"\r    [Quorvalent] Đang cài 100% | 4/4 tệp | 3.91 KB/3.91 KB          "
         L"\r    [Quorvalent] Cài tệp 100% | 4 tệp | 3.91 KB                    \n"},
    };
    for (const auto& c : cases) {
        test::TempFolder folder;
        fs::create_directories(folder / L"src");
        for (size_t i = 0; i < c.fileSizes.size(); ++i) {
            writeFile(folder / L"src" / (L"f" + std::to_wstring(i)),
                      std::string(c.fileSizes[i], 'x'));
        }
        // The destination does not exist yet, nor does its parent.
        const fs::path destination = folder / L"new" / L"dest";
        EXPECT_EQ(installed(folder / L"src", destination), kListing + c.lines);
        EXPECT_TRUE(fs::is_directory(destination));
    }
}

// Every name and file's bytes under a folder ("<folder>" for folders), links not followed.
std::map<std::wstring, std::string> snapshot(const fs::path& root) {
    std::map<std::wstring, std::string> tree;
    std::error_code missing; // nothing there: an empty tree
    for (const auto& entry : fs::recursive_directory_iterator(root, missing)) {
        tree[entry.path().lexically_relative(root).wstring()] =
            entry.is_directory() ? "<folder>" : readFile(entry.path());
    }
    return tree;
}

std::vector<std::wstring> namesIn(const fs::path& folder) {
    std::vector<std::wstring> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().wstring());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A failure at any file undoes the files before it, the folders made for them and the run's own
// folder: the installation is as it was, byte for byte and name for name.
TEST(InstallFiles, AFailureAtTheKthOfNFilesPutsEverythingBack) {
    // SourceUnreadable: a package file held without sharing, on a first installation, whose
    // folder and the one above it the run makes.
    enum class Obstacle { HeldWithoutSharing, FolderInTheWay, SourceUnreadable };
    const struct {
        const char* label;
        std::size_t files;
        std::size_t failing; // 1-based, in the order the files are put in place
        Obstacle obstacle;
        bool othersExist; // the other targets are there already (a reinstall)
    } cases[] = {
        {"first of five held, reinstall", 5, 1, Obstacle::HeldWithoutSharing, true},
        {"third of five held, reinstall", 5, 3, Obstacle::HeldWithoutSharing, true},
        {"last of five held, reinstall", 5, 5, Obstacle::HeldWithoutSharing, true},
        {"last of five held, the others new", 5, 5, Obstacle::HeldWithoutSharing, false},
        {"second of three blocked by a folder, the others new", 3, 2, Obstacle::FolderInTheWay,
         false},
        {"last of four blocked by a folder, reinstall", 4, 4, Obstacle::FolderInTheWay, true},
        {"third of four unreadable, no installation yet", 4, 3, Obstacle::SourceUnreadable, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        test::TempFolder folder;
        const fs::path source = folder / L"src";
        const bool firstInstall = c.obstacle == Obstacle::SourceUnreadable;
        const fs::path destination = folder / (firstInstall ? L"new\\dst" : L"dst");
        for (std::size_t i = 0; i < c.files; ++i) {
            // Every other file in a folder the installation lacks until this run makes it.
            writeFile(source / (i % 2 ? L"mới\\sâu" : L"") / (L"f" + std::to_wstring(i)),
                      "new " + std::to_string(i));
        }
        std::vector<fs::path> order;
        for (const auto& entry : fs::recursive_directory_iterator(source)) {
            if (entry.is_regular_file()) {
                order.push_back(entry.path().lexically_relative(source));
            }
        }
        const fs::path failingTarget = destination / order[c.failing - 1];
        for (std::size_t i = 0; !firstInstall && i < order.size(); ++i) {
            const bool failing = i + 1 == c.failing;
            if (failing && c.obstacle == Obstacle::FolderInTheWay) {
                writeFile(failingTarget / L"inside.txt", "the user's folder");
            } else if (failing) {
                writeFile(destination / order[i], "old " + std::to_string(i));
            } else if (c.othersExist && order[i].parent_path().empty()) {
                // Spelled otherwise than in the package: put back, the name is as it was.
                writeFile(destination / (L"F" + order[i].wstring().substr(1)),
                          "old " + std::to_string(i));
            }
        }
        if (!firstInstall) {
            writeFile(destination / L"user.cfg", "the user's");
        }
        const auto before = snapshot(destination);
        const auto besideBefore = namesIn(folder.path());

        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.obstacle != Obstacle::FolderInTheWay) {
            const fs::path lock = firstInstall ? source / order[c.failing - 1] : failingTarget;
            held = ::CreateFileW(lock.c_str(), GENERIC_READ, 0 /* no sharing */, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }
        test::ConsoleCapture console;
        std::string failure = "<no exception>";
        try {
            installFiles(source, destination, L"Quorvalent");
        } catch (const std::exception& error) {
            failure = error.what();
        }
        if (held != INVALID_HANDLE_VALUE) {
            ::CloseHandle(held);
        }

        EXPECT_EQ(
            failure.rfind("Không sao chép được: " + toUtf8(failingTarget.wstring()) + ": ", 0), 0u)
            << failure;
        EXPECT_EQ(snapshot(destination), before);
        EXPECT_EQ(namesIn(folder.path()), besideBefore) << "the run's own folder is gone";
        const std::wstring output = console.out();
        const std::wstring restored = L"    [Quorvalent] Đã khôi phục bản cài đặt trước.\n";
        ASSERT_GE(output.size(), restored.size());
        EXPECT_EQ(output.substr(output.size() - restored.size()), restored) << toUtf8(output);
    }
}

// The run's folder beside the installation is open to other programs: the name a new file left
// there may be taken before a failure sends the file back.
TEST(FileUpdate, PutsBackAlthoughAnotherProgramTookANameInTheRunsFolder) {
    test::TempFolder folder;
    writeFile(folder / L"src", "new");
    writeFile(folder / L"dst" / L"a.txt", "old");
    std::vector<char> buffer(1 << 16);
    InstallSite site = holdInstallSite(folder / L"dst", "not made");
    HeldFolder runFolder = createRunFolder(site);
    const fs::path left = runFolder.path() / L"new-1" / L"1";
    FileUpdate update(site.parent, std::move(runFolder), buffer);
    update.stageFile(L"", L"a.txt", folder / L"src", folder / L"dst" / L"a.txt", nullptr);
    update.writeRecord(folder / L"dst");
    update.placeFile(0, site.destination, finalPathOf(site.destination.handle()), false,
                     folder / L"dst" / L"a.txt");
    writeFile(left, "another program's");

    EXPECT_TRUE(update.putBack().complete);
    EXPECT_EQ(readFile(folder / L"dst" / L"a.txt"), "old");
}

std::wstring unreadableFinalPath(HANDLE) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return {};
}

// What the stand-ins below saw and are to refuse.
struct Seams {
    fs::path runFolder;
    std::vector<std::wstring> flushed; // below the run's folder, in order
    bool refuseRecordFlush = false;    // of the record under its final name
    std::uint64_t heldOldCopy = 0;     // the identity of an old copy that cannot be moved
} seams;

bool volumeRefused(HANDLE) {
    return false;
}
bool volumeFlushed(HANDLE) {
    return true;
}
BOOL WINAPI recordingFlush(HANDLE file) {
    const fs::path path = finalPathOf(file);
    seams.flushed.push_back(path.lexically_relative(seams.runFolder).wstring());
    if (seams.refuseRecordFlush && path.filename() == kUpdateRecordName) {
        ::SetLastError(ERROR_IO_DEVICE);
        return FALSE;
    }
    return ::FlushFileBuffers(file);
}
DWORD renameUnlessHeld(HANDLE file, HANDLE folder, std::wstring_view name, bool replace) {
    return fileIdentity(file) == seams.heldOldCopy ? ERROR_SHARING_VIOLATION
                                                   : renameByHandle(file, folder, name, replace);
}
// Another owner's (a standard user who made the folder or the record to look like a run's).
SidBytes foreignOwner() {
    PSID sid = nullptr;
    EXPECT_TRUE(::ConvertStringSidToSidW(L"S-1-5-21-7-7-7-1001", &sid));
    const SidBytes bytes(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + ::GetLengthSid(sid));
    ::LocalFree(sid);
    return bytes;
}
SidBytes foreignRunFolder(HANDLE folder, std::wstring_view name) {
    return name.find(L".update-") != name.npos ? foreignOwner() : ownerOfChild(folder, name);
}
SidBytes foreignRecord(HANDLE folder, std::wstring_view name) {
    return name == kUpdateRecordName ? foreignOwner() : ownerOfChild(folder, name);
}

// However an update ends, the installation is whole: the old version when the update is put
// back or ended before it was marked committed (the next run undoes it), the new one after.
TEST(FileUpdate, HoweverAnUpdateEndsTheNextRunFindsOneWholeVersion) {
    enum class End {
        Killed,           // the process ended: no put-back, no commit
        KilledMidFile,    // ... between moving the last old file aside and renaming the new one
        FinalPathUnknown, // the last target's final path cannot be read: put back
        DamagedRecord,    // killed, and the record cut short
        RecordOutside,    // killed, and the record made to name a folder outside the installation
        RecordTooLarge,   // killed, and the record grown past any record a run writes
        OldCopyHeld,      // killed; the second old copy held open during the next run's recovery
        PutBackCutShort,  // put back, the second old copy refusing; then held as above
        MarkNotDurable,   // the committed mark's flush failing, killed during the put-back
        ForeignFolder,    // killed; its folder owned by another than this process's kind
        ForeignRecord,    // killed; its record owned likewise
    };
    const struct {
        const char* label;
        std::size_t placed; // files that took their names
        End end;
        bool committed;
        bool volumeFlushes = false; // else each new file is flushed
    } cases[] = {
        {"killed before the first name changed", 0, End::Killed, false},
        {"killed after the first file", 1, End::Killed, false},
        {"killed halfway", 3, End::Killed, false},
        {"killed in the middle of the third file", 3, End::KilledMidFile, false},
        {"killed with every name taken, not committed", 5, End::Killed, false},
        {"killed after the commit", 5, End::Killed, true},
        {"killed after the commit, the volume flushed", 5, End::Killed, true, true},
        {"the third target's final path unreadable", 3, End::FinalPathUnknown, false},
        {"killed, its record cut short", 2, End::DamagedRecord, false},
        {"killed, its record naming a folder above the installation", 2, End::RecordOutside, false},
        {"killed, its record past 64 MiB", 2, End::RecordTooLarge, false},
        {"killed halfway, an old copy held during the next run", 3, End::OldCopyHeld, false},
        {"a put-back cut short by an old copy held", 3, End::PutBackCutShort, false},
        {"the committed mark not made durable, killed putting back", 5, End::MarkNotDurable, false},
        {"killed halfway, its folder another owner's", 3, End::ForeignFolder, false},
        {"killed halfway, its record another owner's", 3, End::ForeignRecord, false},
    };
    // In the order the update places them; the last lands in a folder the update makes.
    const std::wstring names[] = {L"a.exe", L"b.dll", L"c.dat", L"d.txt", L"mới\\e.txt"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        test::TempFolder folder;
        const fs::path destination = folder / L"Start";
        std::map<std::wstring, std::string> after;
        for (const std::wstring& name : names) {
            writeFile(folder / L"src" / name, "new " + toUtf8(name));
            after[name] = "new " + toUtf8(name);
            if (name != L"d.txt" && name.find(L'\\') == std::wstring::npos) {
                // Spelled otherwise than in the package: put back, the name is as it was.
                const std::wstring spelled = name == L"b.dll" ? L"B.DLL" : name;
                writeFile(destination / spelled, "old " + toUtf8(name));
            }
        }
        writeFile(destination / L"user.cfg", "the user's");
        after[L"user.cfg"] = "the user's";
        after[L"mới"] = "<folder>";
        const auto before = snapshot(destination);
        const auto besideBefore = namesIn(folder.path());
        seams = Seams{};
        if (c.end == End::PutBackCutShort) {
            const HANDLE old = ::CreateFileW((destination / L"B.DLL").c_str(), 0, kShareAll,
                                             nullptr, OPEN_EXISTING, 0, nullptr);
            seams.heldOldCopy = fileIdentity(old);
            ::CloseHandle(old);
        }
        {
            std::vector<char> buffer(1 << 16);
            InstallSite site = holdInstallSite(destination, "not made");
            HeldFolder runFolder = createRunFolder(site);
            seams.runFolder = runFolder.path();
            FileUpdate update(site.parent, std::move(runFolder), buffer);
            update.makeDurableWith({c.volumeFlushes ? volumeFlushed : volumeRefused,
                                    c.volumeFlushes ? volumeFlushed : volumeRefused,
                                    recordingFlush});
            update.putBackWith(renameUnlessHeld);
            update.planFolder(L"mới");
            for (const std::wstring& name : names) {
                const fs::path relative(name);
                update.stageFile(relative.parent_path().wstring(), relative.filename().wstring(),
                                 folder / L"src" / name, destination / name, nullptr);
            }
            update.writeRecord(destination);
            // Every new file's bytes durable before the record that names them.
            std::vector<std::wstring> flushes;
            for (std::size_t i = 1; !c.volumeFlushes && i <= 5; ++i) {
                flushes.push_back(L"new-1\\" + std::to_wstring(i));
            }
            flushes.push_back(L"update-record.new");
            EXPECT_EQ(seams.flushed, flushes);
            seams.refuseRecordFlush = c.end == End::MarkNotDurable;
            HeldFolder made;
            update.createFolder(made, site.destination, L"mới", destination / L"mới");
            const std::wstring startPath = finalPathOf(site.destination.handle());
            try {
                for (std::size_t i = 0; i < c.placed; ++i) {
                    if (c.end == End::FinalPathUnknown && i + 1 == c.placed) {
                        update.readFinalPathWith(unreadableFinalPath);
                    }
                    const bool inNew = i == 4;
                    update.placeFile(i, inNew ? made : site.destination,
                                     inNew ? finalPathOf(made.handle()) : startPath, inNew,
                                     destination / names[i]);
                }
                if (c.end == End::FinalPathUnknown) {
                    ADD_FAILURE() << "replaced with nothing to put back";
                    continue;
                }
                if (c.committed || c.end == End::MarkNotDurable) {
                    update.markCommitted(destination);
                }
                if (c.end == End::MarkNotDurable) {
                    ADD_FAILURE() << "a mark that is not durable taken as made";
                    continue;
                }
                if (c.end == End::PutBackCutShort) {
                    const FileUpdate::PutBack putBack = update.putBack();
                    EXPECT_FALSE(putBack.complete);
                    ASSERT_EQ(putBack.keptOldCopies.size(), 1u);
                    EXPECT_EQ(putBack.keptOldCopies[0], seams.runFolder / L"old-1" / L"2");
                }
            } catch (const std::exception& error) {
                if (c.end == End::MarkNotDurable) {
                    EXPECT_EQ(std::string(error.what()),
                              "Không sao chép được: " + toUtf8(destination.wstring()) + ": " +
                                  windowsErrorText(ERROR_IO_DEVICE));
                    // Killed before its put-back has done anything.
                } else {
                    EXPECT_EQ(std::string(error.what()),
                              "Không sao chép được: " + toUtf8((destination / L"c.dat").wstring()) +
                                  ": " + windowsErrorText(ERROR_ACCESS_DENIED));
                    EXPECT_TRUE(update.putBack().complete);
                    EXPECT_EQ(snapshot(destination), before);
                    continue;
                }
            }
            // Killed: nothing more happens in the process; its handles close.
        }
        const std::vector<std::wstring> beside = namesIn(folder.path());
        const auto runName =
            std::find_if(beside.begin(), beside.end(), [](const std::wstring& name) {
                return name.find(L".update-") != std::wstring::npos;
            });
        ASSERT_NE(runName, beside.end());
        const fs::path run = folder / *runName;
        if (c.end == End::KilledMidFile) {
            // The new file back where it was written: the old one moved aside, the name empty.
            ASSERT_TRUE(::MoveFileW((destination / names[c.placed - 1]).c_str(),
                                    (run / L"new-1" / std::to_wstring(c.placed)).c_str()));
        }
        if (c.end == End::DamagedRecord) {
            const std::string record = readFile(run / L"update-record");
            writeFile(run / L"update-record", record.substr(0, record.size() / 4 * 2));
        }
        if (c.end == End::RecordOutside) {
            std::string record = readFile(run / L"update-record");
            const std::string made("m\0\xDB\x1Ei\0", 6); // UTF-16 of the folder's name
            const std::string above(".\0.\0", 4);
            ASSERT_NE(record.find(made), std::string::npos);
            for (std::size_t at; (at = record.find(made)) != std::string::npos;) {
                record.replace(at, made.size(), above);
            }
            writeFile(run / L"update-record", record);
        }
        if (c.end == End::RecordTooLarge) {
            // Still a whole record: the lines past its end are blank.
            fs::resize_file(run / L"update-record", (64u << 20) + 2);
        }
        const std::string record = readFile(run / L"update-record");
        const std::string committedMark("c\0o\0m\0m\0i\0t\0t\0e\0d\0", 18);
        EXPECT_EQ(record.find(committedMark) != std::string::npos, c.committed);
        const auto interrupted = snapshot(destination);

        InstallSite site = holdInstallSite(destination, "not made");
        if (c.end == End::OldCopyHeld || c.end == End::PutBackCutShort) {
            // A scanner or a backup tool has it open without sharing its deletion.
            const HANDLE held = ::CreateFileW((run / L"old-1" / L"2").c_str(), GENERIC_READ, 0,
                                              nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
            for (int attempt = 0; attempt < 2; ++attempt) {
                std::string failure = "<no exception>";
                try {
                    recoverInterruptedUpdates(site);
                } catch (const std::exception& error) {
                    failure = error.what();
                }
                EXPECT_EQ(failure, "Không khôi phục được lần cài trước bị gián đoạn: " +
                                       toUtf8((destination / L"B.DLL").wstring()) + ": " +
                                       windowsErrorText(ERROR_SHARING_VIOLATION));
                for (const auto& [name, data] : before) {
                    EXPECT_TRUE(fs::exists(destination / name)) << toUtf8(name) << " missing";
                }
                EXPECT_TRUE(fs::exists(run / L"update-record")) << "every later run tries again";
                EXPECT_FALSE(fs::exists(run / L"kept"));
            }
            ::CloseHandle(held);
        }
        if (c.end == End::ForeignFolder || c.end == End::ForeignRecord) {
            EXPECT_FALSE(recoverInterruptedUpdates(
                site, c.end == End::ForeignFolder ? foreignRunFolder : foreignRecord));
            EXPECT_EQ(snapshot(destination), interrupted) << "not a run's: left alone";
            EXPECT_TRUE(fs::exists(run / L"update-record"));
            EXPECT_FALSE(fs::exists(run / L"kept"));
        }
        const bool undone = recoverInterruptedUpdates(site);

        if (c.end == End::DamagedRecord || c.end == End::RecordOutside ||
            c.end == End::RecordTooLarge) {
            // Taken as no record at all: kept, and the installation as the run left it.
            EXPECT_FALSE(undone);
            EXPECT_TRUE(fs::is_directory(run / L"kept"));
            EXPECT_EQ(snapshot(destination), interrupted);
            continue;
        }
        EXPECT_EQ(undone, !c.committed);
        EXPECT_EQ(snapshot(destination), c.committed ? after : before);
        EXPECT_EQ(namesIn(folder.path()), besideBefore) << "the run's folder is gone";
    }
}

std::wstring rulesText(PSECURITY_DESCRIPTOR descriptor) {
    wchar_t* text = nullptr;
    if (descriptor == nullptr ||
        !::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return L"<none>";
    }
    const std::wstring result(text);
    ::LocalFree(text);
    return result;
}

SecurityDescriptor descriptorOf(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR built = nullptr;
    EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        sddl.c_str(), SDDL_REVISION_1, &built, nullptr));
    const auto* bytes = static_cast<const std::byte*>(built);
    SecurityDescriptor copy(bytes, bytes + ::GetSecurityDescriptorLength(built));
    ::LocalFree(built);
    return copy;
}

// Entries with a condition (XA, XD) are beyond Wine's SDDL: written as A and D for it, each
// carries this condition, which must come through whole.
const std::string kCondition("artx\xfb\x0c\0\0\0", 8);

// Where each entry of the SDDL text starts.
std::vector<std::size_t> entryStarts(const std::wstring& sddl) {
    std::vector<std::size_t> starts;
    for (std::size_t at = sddl.find(L'('); at != std::wstring::npos;
         at = sddl.find(L'(', sddl.find(L')', at))) {
        starts.push_back(at);
    }
    return starts;
}

// The descriptor with each of its rules' entries (as bytes, with its index) changed by `change`.
template <typename Change> SecurityDescriptor withEntries(SecurityDescriptor from, Change change) {
    PACL rules = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    ::GetSecurityDescriptorDacl(from.data(), &present, &rules, &defaulted);
    std::string entries;
    for (DWORD index = 0; rules != nullptr && index < rules->AceCount; ++index) {
        ACE_HEADER* header = nullptr;
        ::GetAce(rules, index, reinterpret_cast<void**>(&header));
        std::string entry(reinterpret_cast<const char*>(header), header->AceSize);
        change(entry, index);
        reinterpret_cast<ACE_HEADER*>(entry.data())->AceSize = static_cast<WORD>(entry.size());
        entries += entry;
    }
    std::vector<std::byte> acl(sizeof(ACL) + entries.size());
    auto* changed = reinterpret_cast<ACL*>(acl.data());
    ::InitializeAcl(changed, static_cast<DWORD>(acl.size()), ACL_REVISION);
    ::AddAce(changed, ACL_REVISION, 0, entries.data(), static_cast<DWORD>(entries.size()));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(from.data(), &control, &revision);
    SECURITY_DESCRIPTOR absolute;
    ::InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&absolute, TRUE, changed, FALSE);
    const SECURITY_DESCRIPTOR_CONTROL kept = SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED;
    ::SetSecurityDescriptorControl(&absolute, kept, control & kept);
    DWORD size = 0;
    ::MakeSelfRelativeSD(&absolute, nullptr, &size);
    SecurityDescriptor result(size);
    ::MakeSelfRelativeSD(&absolute, result.data(), &size);
    return result;
}

SecurityDescriptor conditionalDescriptorOf(std::wstring sddl) {
    std::vector<DWORD> marked;
    const std::vector<std::size_t> starts = entryStarts(sddl);
    for (std::size_t index = starts.size(); index-- > 0;) {
        if (sddl[starts[index] + 1] == L'X') {
            sddl.erase(starts[index] + 1, 1);
            marked.push_back(static_cast<DWORD>(index));
        }
    }
    return withEntries(descriptorOf(sddl), [&](std::string& entry, DWORD index) {
        if (std::find(marked.begin(), marked.end(), index) != marked.end()) {
            entry[0] = static_cast<char>(entry[0] + ACCESS_ALLOWED_CALLBACK_ACE_TYPE);
            entry += kCondition;
        }
    });
}

std::wstring conditionalRulesText(const SecurityDescriptor& descriptor) {
    if (descriptor.empty()) {
        return L"<none>";
    }
    std::vector<DWORD> marked;
    bool lost = false;
    SecurityDescriptor plain = withEntries(descriptor, [&](std::string& entry, DWORD index) {
        if (entry[0] == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
            entry[0] == ACCESS_DENIED_CALLBACK_ACE_TYPE) {
            const std::size_t sidEnd = 8 + ::GetLengthSid(entry.data() + 8);
            lost = lost || entry.substr(sidEnd) != kCondition;
            entry[0] = static_cast<char>(entry[0] - ACCESS_ALLOWED_CALLBACK_ACE_TYPE);
            entry.resize(sidEnd);
            marked.push_back(index);
        }
    });
    std::wstring text = rulesText(plain.data());
    const std::vector<std::size_t> starts = entryStarts(text);
    for (auto index = marked.rbegin(); index != marked.rend(); ++index) {
        text.insert(starts[*index] + 1, L"X");
    }
    return lost ? L"<condition lost>" : text;
}

// The rules of what is at the path, as GetSecurityInfo reads them.
std::wstring rulesAt(const fs::path& path) {
    const HANDLE opened = ::CreateFileW(
        path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    PSECURITY_DESCRIPTOR read = nullptr;
    ::GetSecurityInfo(opened, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                      nullptr, &read);
    ::CloseHandle(opened);
    const std::wstring text = rulesText(read);
    ::LocalFree(read);
    return text;
}

// What the process token says of `kind`, in a buffer that holds it.
std::vector<std::byte> tokenInformation(TOKEN_INFORMATION_CLASS kind) {
    HANDLE token = nullptr;
    ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
    std::vector<std::byte> information(1024);
    DWORD size = 0;
    ::GetTokenInformation(token, kind, information.data(), 1024, &size);
    ::CloseHandle(token);
    return information;
}

std::wstring processOwner() {
    std::vector<std::byte> owner = tokenInformation(TokenOwner);
    wchar_t* text = nullptr;
    ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_OWNER*>(owner.data())->Owner, &text);
    const std::wstring result(text);
    ::LocalFree(text);
    return result;
}

std::vector<std::byte> sidOf(const std::wstring& text) {
    PSID sid = nullptr;
    EXPECT_TRUE(::ConvertStringSidToSidW(text.c_str(), &sid));
    const auto* bytes = static_cast<const std::byte*>(sid);
    std::vector<std::byte> copy(bytes, bytes + ::GetLengthSid(sid));
    ::LocalFree(sid);
    return copy;
}

const ACL* daclOf(const SecurityDescriptor& descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL rules = nullptr;
    ::GetSecurityDescriptorDacl(const_cast<std::byte*>(descriptor.data()), &present, &rules,
                                &defaulted);
    return rules;
}

// The process token's default rules as a new file gets them: Wine's give GENERIC_ALL only.
std::wstring processDefaultRules() {
    std::vector<std::byte> rules = tokenInformation(TokenDefaultDacl);
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(
        &descriptor, TRUE, reinterpret_cast<TOKEN_DEFAULT_DACL*>(rules.data())->DefaultDacl, FALSE);
    std::wstring text = rulesText(&descriptor);
    for (std::size_t at = text.find(L";GA;"); at != std::wstring::npos; at = text.find(L";GA;")) {
        text.replace(at, 4, L";FA;");
    }
    return text;
}

// New files are written in the run's folder, whose rules let only SYSTEM and Administrators in:
// each is made with what its target folder passes on, as if it had been created there.
TEST(InstallFiles, ANewFileGetsTheRulesItsTargetFolderPassesOn) {
    const std::wstring owner = processOwner();
    Creator creator{sidOf(owner), sidOf(L"BU"), {}};
    const SecurityDescriptor defaults = descriptorOf(L"D:(A;;GA;;;SY)(A;;GA;;;BA)");
    const ACL* defaultRules = daclOf(defaults);
    creator.defaultRules.assign(reinterpret_cast<const std::byte*>(defaultRules),
                                reinterpret_cast<const std::byte*>(defaultRules) +
                                    defaultRules->AclSize);
    // Where the folder passes nothing on, the creator's default rules, generic rights mapped.
    const std::wstring byDefault = L"D:(A;;FA;;;SY)(A;;FA;;;BA)";
    const struct {
        std::wstring folder; // the target folder's rules
        std::wstring file;   // what a new file in it gets
        std::wstring below;  // what a new folder in it gets
    } cases[] = {
        {L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)",
         L"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)",
         L"D:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)"},
        // Only some entries pass on, some only to files, some no further than one level.
        {L"D:P(A;;FA;;;WD)(A;OI;FR;;;BU)(A;CI;FA;;;BA)(D;OICINP;FW;;;AU)",
         L"D:AI(A;ID;FR;;;BU)(D;ID;FW;;;AU)",
         L"D:AI(A;OIIOID;FR;;;BU)(A;CIID;FA;;;BA)(D;ID;FW;;;AU)"},
        // CREATOR OWNER and generic rights: the owner's, mapped to a file's rights.
        {L"D:P(A;OICIIO;GA;;;CO)(A;OICI;GR;;;BU)", L"D:AI(A;ID;FA;;;" + owner + L")(A;ID;FR;;;BU)",
         L"D:AI(A;ID;FA;;;" + owner + L")(A;OICIIOID;GA;;;CO)(A;ID;FR;;;BU)(A;OICIIOID;GR;;;BU)"},
        // Nothing for files: only entries for this folder and for folders below.
        {L"D:P(A;;FA;;;WD)(A;CI;FA;;;BA)", byDefault, L"D:AI(A;CIID;FA;;;BA)"},
        {L"D:P(A;;FA;;;WD)", byDefault, byDefault},
        // Entries with a condition, allowed and denied, inherit as plain ones do, the
        // condition kept (also where CREATOR OWNER gives way to the owner).
        {L"D:P(XA;OICI;FA;;;BU)(XD;OI;FW;;;WD)(XA;OICIIO;GA;;;CO)",
         L"D:AI(XA;ID;FA;;;BU)(XD;ID;FW;;;WD)(XA;ID;FA;;;" + owner + L")",
         L"D:AI(XA;OICIID;FA;;;BU)(XD;OIIOID;FW;;;WD)(XA;ID;FA;;;" + owner +
             L")(XA;OICIIOID;GA;;;CO)"},
    };
    SecurityDescriptor fromRunFolder;
    ASSERT_EQ(inheritedSecurity(descriptorOf(kWorkFolderSddl), false, fromRunFolder), 0u);
    for (const auto& c : cases) {
        SCOPED_TRACE(toUtf8(c.folder));
        SecurityDescriptor file;
        SecurityDescriptor below;
        const SecurityDescriptor folderRules = conditionalDescriptorOf(c.folder);
        ASSERT_EQ(inheritedSecurity(folderRules, false, creator, file), 0u);
        ASSERT_EQ(inheritedSecurity(folderRules, true, creator, below), 0u);
        EXPECT_EQ(conditionalRulesText(file), c.file);
        EXPECT_EQ(conditionalRulesText(below), c.below);
        EXPECT_NE(rulesText(file.data()), rulesText(fromRunFolder.data()));
        // Made by this process: its owner, and its token's default rules.
        SecurityDescriptor byProcess;
        ASSERT_EQ(inheritedSecurity(folderRules, false, byProcess), 0u);
        EXPECT_EQ(conditionalRulesText(byProcess),
                  c.file == byDefault ? processDefaultRules() : c.file);

        // Placed by the update, a file reads back as one made with the rules its folder, as
        // read back, passes on. (Wine keeps a file's or folder's rules only as far as its Unix
        // mode can tell them: there the folder reads back with rules of its mode, and what can
        // be seen is only that each file carries the rules made from those, and Wine refuses
        // entries with a condition.)
        test::TempFolder folder;
        const SecurityDescriptor plainRules =
            withEntries(folderRules, [](std::string& entry, DWORD) {
                entry[0] = static_cast<char>(entry[0] % ACCESS_ALLOWED_CALLBACK_ACE_TYPE);
                entry.resize(8 + ::GetLengthSid(entry.data() + 8));
            });
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptorOrNone(plainRules), FALSE};
        ASSERT_TRUE(::CreateDirectoryW((folder / L"dst").c_str(), &attributes));
        writeFile(folder / L"src" / L"a.txt", "a");
        writeFile(folder / L"src" / L"sub" / L"b.txt", "b");
        installed(folder / L"src", folder / L"dst");
        const HANDLE target = ::CreateFileW((folder / L"dst").c_str(), FILE_LIST_DIRECTORY,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        SecurityDescriptor readBack;
        EXPECT_EQ(readFolderSecurity(target, readBack), 0u);
        ::CloseHandle(target);
        SecurityDescriptor topFile;
        SecurityDescriptor subFolder;
        SecurityDescriptor belowFile;
        ASSERT_EQ(inheritedSecurity(readBack, false, topFile), 0u);
        ASSERT_EQ(inheritedSecurity(readBack, true, subFolder), 0u);
        ASSERT_EQ(inheritedSecurity(subFolder, false, belowFile), 0u);
        for (const auto& [made, rules] : {std::pair{folder / L"a-made.txt", &topFile},
                                          std::pair{folder / L"b-made.txt", &belowFile}}) {
            attributes.lpSecurityDescriptor = descriptorOrNone(*rules);
            ::CloseHandle(::CreateFileW(made.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        }
        EXPECT_EQ(rulesAt(folder / L"dst" / L"a.txt"), rulesAt(folder / L"a-made.txt"));
        EXPECT_EQ(rulesAt(folder / L"dst" / L"sub" / L"b.txt"), rulesAt(folder / L"b-made.txt"));
    }
}

TEST(InstallFiles, ReportsWhatCannotBeReachedOrCreated) {
    test::TempFolder folder;
    writeFile(folder / L"src" / L"sub" / L"a.txt", "a");
    writeFile(folder / L"file", "a file where a folder must go");
    writeFile(folder / L"dst" / L"sub", "a file where the package has a folder");

    // Only plain folders of their own are written into: a file where one must be is refused as
    // a link would be, before anything changes.
    EXPECT_EQ(failureOf(folder / L"src", folder / L"file" / L"dest"),
              "Thư mục cài đặt không an toàn: " + toUtf8((folder / L"file").wstring()));
    EXPECT_EQ(failureOf(folder / L"src", folder / L"dst"),
              "Thư mục cài đặt không an toàn: " + toUtf8((folder / L"dst" / L"sub").wstring()));
    // Above the installation folder's parent nothing is checked, only made.
    EXPECT_EQ(failureOf(folder / L"src", folder / L"file" / L"x" / L"dest"),
              "Không tạo được thư mục đích: " +
                  toUtf8((folder / L"file" / L"x" / L"dest").wstring()));
    // Names come from the package: a control character in one is shown, never acted on.
    writeFile(folder / L"src2" / L"x\u009B2J" / L"a.txt", "a");
    writeFile(folder / L"dst2" / L"x\u009B2J", "a file where the package has a folder");
    EXPECT_EQ(failureOf(folder / L"src2", folder / L"dst2"),
              "Thư mục cài đặt không an toàn: " + toUtf8((folder / L"dst2").wstring()) +
                  "\\x\\x9B2J");
    // A package name that is another file's short name reaches that file, which is not the
    // package's to replace: the run stops, and the file keeps its name and bytes.
    const fs::path users = folder / L"dst3" / L"settings-backup.json";
    writeFile(users, "the user's");
    wchar_t shortPath[MAX_PATH] = {};
    ASSERT_NE(::GetShortPathNameW(users.c_str(), shortPath, MAX_PATH), 0u);
    const std::wstring alias = fs::path(shortPath).filename().wstring();
    ASSERT_NE(alias, users.filename().wstring());
    writeFile(folder / L"src3" / alias, "new");
    EXPECT_EQ(
        failureOf(folder / L"src3", folder / L"dst3")
            .rfind("Không sao chép được: " + toUtf8((folder / L"dst3" / alias).wstring()) + ": ",
                   0),
        0u);
    EXPECT_EQ(readFile(users), "the user's");
    // A package folder that cannot be listed fails the installation like a file not copied.
    EXPECT_EQ(failureOf(folder / L"không có", folder / L"d2"),
              "Không sao chép được: " + toUtf8((folder / L"không có").wstring()) + ": " +
                  windowsErrorText(ERROR_FILE_NOT_FOUND));
}

} // namespace
} // namespace qv
