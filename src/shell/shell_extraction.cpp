#include "shell/shell_extraction.h"

#include "console/console_output.h"
#include "console/console_writer.h"
#include "console/progress_line.h"
#include "core/errors.h"
#include "core/guards.h"
#include "core/held_folder.h"
#include "core/thread_messages.h"
#include "core/tree_removal.h"
#include "shell/extracted_tree.h"
#include "shell/shell_automation.h"
#include "zip/folder_tally.h"

#include <windows.h>
#include <objbase.h>

#include <stdexcept>
#include <system_error>
#include <utility>

namespace qv {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::nanoseconds kExtractionTimeLimit = std::chrono::seconds(1800);
constexpr std::chrono::milliseconds kPollInterval(500);
constexpr int kPollsAtTotals = 3;
// Polls in a row on which a file that differs from the list reads the same: then it is done.
constexpr int kPollsUnchanged = 3;
// FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI: no dialog may block an unattended run.
constexpr LONG kCopyHereOptions = 0x4 | 0x10 | 0x400;

bool reachedTotals(const ZipSummary& seen, const ZipSummary& expected) {
    return seen.fileCount >= expected.fileCount && seen.totalBytes >= expected.totalBytes;
}

int percentOf(const ZipSummary& seen, const ZipSummary& expected) {
    if (reachedTotals(seen, expected)) {
        return 100;
    }
    if (expected.totalBytes != 0) {
        return cappedPercent(seen.totalBytes, expected.totalBytes);
    }
    if (expected.fileCount != 0) {
        return cappedPercent(seen.fileCount, expected.fileCount);
    }
    return 0;
}

// Empties the destination and makes it anew, held for as long as the extraction runs.
HeldFolder prepareDestination(fs::path destination) {
    if (!destination.has_filename()) {
        destination = destination.parent_path(); // given with a separator at its end
    }
    // A link planted under the destination's name goes, its target stays.
    removeTree(destination);
    // Only a folder made now will do: a link that could not be removed would send the
    // extraction wherever it points.
    HoldResult parent = holdFolderMadeAt(destination.parent_path());
    HoldResult made;
    if (parent.status == HoldStatus::Held) {
        made =
            holdChildFolder(parent.folder, destination.filename().wstring(), HoldMode::CreateNew);
    }
    check(made.status == HoldStatus::Held,
          "Không tạo được thư mục giải nén: " + toUtf8(destination.wstring()));
    return std::move(made.folder);
}

ComPtr<IDispatch> createShellApplication() {
    CLSID shellClass{};
    checkHr(::CLSIDFromProgID(L"Shell.Application", &shellClass),
            "Không tìm thấy Windows Shell.Application");
    ComPtr<IDispatch> shell;
    checkHr(::CoCreateInstance(shellClass, nullptr /* no outer object */,
                               CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                               shell.putVoid()),
            "Không mở được Windows Shell.Application");
    return shell;
}

ComPtr<IDispatch> archiveItems(IDispatch* archiveFolder) {
    ComPtr<IDispatch> items = invokeShellMethod(archiveFolder, L"Items", nullptr, 0).takeDispatch();
    check(static_cast<bool>(items), "Không đọc được danh sách file trong ZIP.");
    return items;
}

void copyHere(IDispatch* destinationFolder, IDispatch* items) {
    static_assert(sizeof(ScopedVariant) == sizeof(VARIANT), "the guards form the VARIANT array");
    // IDispatch order: the last argument (options) first.
    ScopedVariant args[2];
    args[0].get().vt = VT_I4;
    args[0].get().lVal = kCopyHereOptions;
    args[1].setDispatch(items);
    invokeShellMethod(destinationFolder, L"CopyHere", &args[0].get(), 2);
}

[[noreturn]] void refuseExtracted(const std::wstring& name) {
    throw std::runtime_error("Nội dung giải nén không khớp với gói: " +
                             toUtf8(printableText(name)));
}

// The destination against what the verifier listed; None when nothing was listed (a caller's
// own counts). A name that differs fails at once; a size or CRC-32 that differs may be a file
// the Shell is still writing, and is returned.
TreeComparison compareWithList(const fs::path& destination, const ZipSummary& expected) {
    if (expected.entries.records.empty()) {
        return {};
    }
    TreeComparison found = compareExtractedTree(destination, expected.entries);
    if (found.difference == TreeDifference::Names) {
        refuseExtracted(found.name);
    }
    return found;
}

// Polls until the expected totals were seen on three consecutive polls and the destination
// holds the listed files, or the deadline passed. True when the files were found to match.
// From then on the files are compared on every poll: a size or CRC-32 that differs and reads
// the same on three polls in a row is no file being written but a wrong one, and fails at once.
bool waitForExtraction(const fs::path& destination, const ZipSummary& expected,
                       const std::wstring& tag, std::chrono::nanoseconds timeLimit) {
    const Clock::time_point deadline = Clock::now() + timeLimit;
    ProgressLine line(tag, kExtractionLine);
    int pollsAtTotals = 0;
    TreeComparison lastDifference;
    int pollsUnchanged = 0;
    while (Clock::now() < deadline) {
        pumpThreadMessages(); // while the Shell copies
        const ZipSummary seen = tallyDirectory(destination);
        const bool reached = reachedTotals(seen, expected);
        line.update({percentOf(seen, expected), seen.fileCount, expected.fileCount, seen.totalBytes,
                     expected.totalBytes});
        pollsAtTotals = reached ? pollsAtTotals + 1 : 0;
        if (pollsAtTotals >= kPollsAtTotals) {
            TreeComparison found = compareWithList(destination, expected);
            if (found.difference == TreeDifference::None) {
                return true;
            }
            pollsUnchanged = sameReadDifference(found, lastDifference) ? pollsUnchanged + 1 : 1;
            if (pollsUnchanged == kPollsUnchanged) {
                refuseExtracted(found.name);
            }
            lastDifference = std::move(found);
        } else {
            pollsUnchanged = 0;
        }
        ::Sleep(static_cast<DWORD>(kPollInterval.count()));
    }
    return false;
}

} // namespace

void extractZipWithShell(const fs::path& archive, const fs::path& destination,
                         const ZipSummary& expected, const std::wstring& tag) {
    extractZipWithShell(archive, destination, expected, tag, kExtractionTimeLimit);
}

void extractZipWithShell(const fs::path& archive, const fs::path& destination,
                         const ZipSummary& expected, const std::wstring& tag,
                         std::chrono::nanoseconds timeLimit) {
    checkExtractedPathLengths(destination, expected.entries);
    const HeldFolder held = prepareDestination(fs::absolute(destination));

    // Declared in reverse release order: items, destination Folder, archive Folder, Shell.
    ComPtr<IDispatch> shell = createShellApplication();
    ComPtr<IDispatch> archiveFolder;
    ComPtr<IDispatch> destinationFolder;
    ComPtr<IDispatch> items;

    const fs::path absoluteArchive = fs::absolute(archive);
    const fs::path absoluteDestination = fs::absolute(destination);
    archiveFolder = openShellFolder(shell.get(), absoluteArchive);
    destinationFolder = openShellFolder(shell.get(), absoluteDestination);
    items = archiveItems(archiveFolder.get());
    copyHere(destinationFolder.get(), items.get());

    printText(statusPrefix(tag) + L"Đang giải nén 0% | 0/" + decimalText(expected.fileCount) +
              L" tệp");

    // The limit runs from the moment CopyHere has returned.
    const bool matched = waitForExtraction(destination, expected, tag, timeLimit);

    // The final tally and comparison decide: a poll that ran out of time may still have been
    // enough.
    const ZipSummary extracted = tallyDirectory(destination);
    check(reachedTotals(extracted, expected), "Giải nén không hoàn tất trong thời gian cho phép.");
    if (!matched) {
        const TreeComparison found = compareWithList(destination, expected);
        if (found.difference != TreeDifference::None) {
            refuseExtracted(found.name);
        }
    }
    printProgressEnd(tag,
                     L"Giải nén 100% | " + decimalText(extracted.fileCount) + L" tệp | " +
                         formatByteSize(extracted.totalBytes),
                     20);
}

} // namespace qv
