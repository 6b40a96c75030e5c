#include "selftest/self_test.h"

#include "console/command_line.h"
#include "console/console_writer.h"
#include "core/errors.h"
#include "core/file_io.h"
#include "core/release_config.h"
#include "core/scoped_folder.h"
#include "core/system_places.h"
#include "core/work_folder.h"
#include "flows/package_flow.h"
#include "net/download_and_verify.h"
#include "shell/shell_extraction.h"
#include "shell/shortcut.h"
#include "zip/folder_tally.h"
#include "zip/zip_verifier.h"

#include <windows.h>

#include <cwchar>
#include <exception>
#include <optional>
#include <string_view>

namespace qv {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kMarker = "existing app must be replaced";

void runNetworkTest(const fs::path& workFolder) {
    const fs::path archive = workFolder / L"network-test.zip";
    const ZipSummary downloaded = downloadAndVerify(runtimePackageUrl(), archive, L"Network test");
    check(downloaded.fileCount != 0 && downloaded.totalBytes != 0,
          "Self-test WinHTTP tải về ZIP rỗng.");
    const fs::path output = workFolder / L"network-output";
    extractZipWithShell(archive, output, downloaded, L"Network extract");
    const ZipSummary found = tallyDirectory(output);
    check(found.fileCount >= downloaded.fileCount && found.totalBytes >= downloaded.totalBytes,
          "Self-test giải nén gói tải qua mạng không đầy đủ.");
}

void runExtractionTest(const fs::path& workFolder, const fs::path& safeArchive,
                       const ZipSummary& expected) {
    const fs::path output = workFolder / L"output";
    extractZipWithShell(safeArchive, output, expected, L"Self-test");
    check(tallyDirectory(output) == expected, "Self-test giải nén không khớp dữ liệu ZIP.");
}

// An archive that could not even be copied (an empty path) counts as blocked: it was unreadable.
void runZipSlipTest(const fs::path& unsafeArchive) {
    bool verified = false;
    try {
        if (!unsafeArchive.empty()) {
            verifyZipArchive(unsafeArchive);
            verified = true;
        }
    } catch (const std::exception&) {
        // Any refusal counts as blocked: the archive never reaches extraction.
    }
    check(!verified, "Self-test không chặn được Zip Slip.");
}

void runShortcutTest(const fs::path& workFolder) {
    const fs::path link = workFolder / L"self-test.lnk";
    createShortcut(programPath(), link);
    check(fs::exists(link), "Self-test tạo shortcut thất bại.");
}

void runReinstallTest(const fs::path& workFolder, const std::wstring& packageUrl) {
    const fs::path installFolder = workFolder / L"installed-app";
    const fs::path mainProgram = installFolder / L"Quorvalent.exe";
    const fs::path original = workFolder / L"original-app.bin";
    const fs::path userData = installFolder / L"local-user-data.txt";

    installPackage(workFolder, installFolder, packageUrl);
    checkLastError(::CopyFileW(mainProgram.c_str(), original.c_str(), TRUE /* fail if it exists */),
                   "Self-test không sao chép được Quorvalent.exe đã cài: ");
    // A write that failed would leave the old program in place and the reinstall check would
    // prove nothing.
    check(writeWholeFile(mainProgram.native(), kMarker), "Self-test không ghi được bản cũ.");
    writeWholeFile(userData.native(), kMarker);

    installPackage(workFolder, installFolder, packageUrl);

    const std::optional<std::string> installed = readWholeFile(mainProgram.native());
    const std::optional<std::string> expected = readWholeFile(original.native());
    check(installed && expected && *installed == *expected,
          "Self-test cài lại không thay thế đúng Quorvalent.exe đã tồn tại.");

    check(readWholeFile(userData.native()).value_or(std::string()) == kMarker,
          "Self-test cài lại làm mất dữ liệu ngoài gói.");

    printText(L"REINSTALL SELF-TEST OK: cài mới và cài đè đều tải lại gói, giữ tệp ngoài gói.\n");
}

// The archive the caller named, copied into the work folder once: everything after that works
// on the copy, which only administrators can change, never on the caller's file again. Empty
// when the caller's file cannot be copied.
fs::path copyIntoWorkFolder(const fs::path& archive, const fs::path& workFolder,
                            const wchar_t* name) {
    const fs::path copy = workFolder / name;
    if (!::CopyFileW(archive.c_str(), copy.c_str(), TRUE /* fail if it exists */)) {
        return fs::path();
    }
    return copy;
}

bool isHttpsUrl(const wchar_t* url) {
    return ::_wcsnicmp(url, L"https://", 8) == 0;
}

// The first "--reinstall-url" from position 4 on; positions 2 and 3 are the archives.
int reinstallFlagIndex(int argc, const wchar_t* const* argv) {
    for (int index = 4; index < argc; ++index) {
        if (_wcsicmp(argv[index], L"--reinstall-url") == 0) {
            return index;
        }
    }
    return -1;
}

} // namespace

int runSelfTests(int argc, const wchar_t* const* argv) {
    check(argc >= 4, "Cú pháp self-test: --self-test <safe.zip> <unsafe.zip>");

    const ScopedFolder workFolder(createWorkDirectory());
    const fs::path safeArchive = copyIntoWorkFolder(argv[2], workFolder.path(), L"safe-input.zip");
    // The verifier's own words for an archive it cannot open.
    check(!safeArchive.empty(), "Không mở được ZIP: " + toUtf8(argv[2]));
    const fs::path unsafeArchive =
        copyIntoWorkFolder(argv[3], workFolder.path(), L"unsafe-input.zip");

    // A broken sample fails before anything is extracted.
    const ZipSummary safeSummary = verifyZipArchive(safeArchive);

    if (hasFlag(argc, argv, L"--network-self-test")) {
        runNetworkTest(workFolder.path());
    }
    runExtractionTest(workFolder.path(), safeArchive, safeSummary);
    runZipSlipTest(unsafeArchive);
    runShortcutTest(workFolder.path());

    const int reinstallIndex = reinstallFlagIndex(argc, argv);
    if (reinstallIndex >= 0) {
        check(reinstallIndex + 1 < argc, "Self-test thiếu URL gói cài đặt.");
        check(isHttpsUrl(argv[reinstallIndex + 1]),
              "Self-test chỉ nhận URL gói cài đặt bắt đầu bằng https://.");
        runReinstallTest(workFolder.path(), argv[reinstallIndex + 1]);
    }

    printText(L"SELF-TEST OK: ZIP guard, giải nén và shortcut hoạt động.\n");
    return 0;
}

} // namespace qv
