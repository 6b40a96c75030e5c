#include "flows/package_flow.h"

#include "console/console_output.h"
#include "console/console_writer.h"
#include "core/errors.h"
#include "core/release_config.h"
#include "install/install_files.h"
#include "net/download_and_verify.h"
#include "shell/shell_extraction.h"

namespace qv {

namespace fs = std::filesystem;

void requireMainProgram(const fs::path& program, const char* message) {
    // A folder of that name is no program: accepting it would report a broken installation as
    // done and point the shortcut at a folder. A missing file is simply not regular; a query
    // that fails for another reason (access denied) raises the library's error.
    check(fs::is_regular_file(program), message);
}

void installPackage(const fs::path& workFolder, const fs::path& installFolder,
                    const std::wstring& packageUrl) {
    const std::wstring tag = L"Quorvalent";

    printStepHeader(2, L"Chuẩn bị cài đặt Quorvalent", false);
    printText(L"    [Quorvalent] Luôn tải và cài đặt, ghi đè các tệp chương trình hiện có.\n");

    printStepHeader(3, L"Tải và xác minh gói Quorvalent", false);
    const fs::path package = workFolder / kApplicationPackageFile;
    const ZipSummary summary = downloadAndVerify(packageUrl, package, tag);

    const fs::path extracted = workFolder / L"Quorvalent";
    printStepHeader(4, L"Giải nén gói Quorvalent", false);
    extractZipWithShell(package, extracted, summary, tag);
    // The layout is part of the package contract: the program must sit at the archive's root.
    requireMainProgram(extracted / L"Quorvalent.exe",
                       "ZIP không chứa Quorvalent.exe ở vị trí mong đợi.");

    printStepHeader(5, L"Cài các tệp Quorvalent vào " + installFolder.wstring(), false);
    installFiles(extracted, installFolder, tag);
    requireMainProgram(installFolder / L"Quorvalent.exe",
                       "Không tìm thấy Quorvalent.exe sau khi cài.");

    printText(L"    [Quorvalent] Đã cài đặt chương trình.\n");
}

} // namespace qv
