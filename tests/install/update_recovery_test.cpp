#include "core/errors.h"
#include "install/install_site.h"
#include "install/placement_steps.h"
#include "install/update/file_update.h"
#include "install/update/update_record.h"
#include "install/update/update_recovery.h"
#include "install_test_support.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace qv::test {
namespace {

namespace fs = std::filesystem;

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

} // namespace
} // namespace qv::test
