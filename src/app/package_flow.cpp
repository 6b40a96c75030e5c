#include "app/package_flow.h"

#include "console/console_output.h"
#include "core/errors.h"
#include "install/install_files.h"
#include "net/download_and_verify.h"
#include "shell/shell_extraction.h"

#include <iostream>

namespace qv {

namespace fs = std::filesystem;

void installPackage(const fs::path& workFolder, const fs::path& installFolder,
                    const std::wstring& packageUrl) {
    const std::wstring tag = L"Quorvalent";

    printStepHeader(2, L"Chuẩn bị cài đặt Quorvalent", false);
    std::wcout << L"    [Quorvalent] Luôn tải và cài đặt, ghi đè các tệp chương trình hiện có.\n";

    printStepHeader(3, L"Tải và xác minh gói Quorvalent", false);
    const fs::path package = workFolder / L"Quorvalent-update.zip";
    const ZipSummary summary = downloadAndVerify(packageUrl, package, tag);

    const fs::path extracted = workFolder / L"Quorvalent";
    printStepHeader(4, L"Giải nén gói Quorvalent", false);
    extractZipWithShell(package, extracted, summary, tag);
    // The layout is part of the package contract: the program must sit at the archive's root.
    check(fs::exists(extracted / L"Quorvalent.exe"),
          "ZIP không chứa Quorvalent.exe ở vị trí mong đợi.");

    printStepHeader(5, L"Cài các tệp Quorvalent vào " + installFolder.wstring(), false);
    installFiles(extracted, installFolder, tag);
    check(fs::exists(installFolder / L"Quorvalent.exe"),
          "Không tìm thấy Quorvalent.exe sau khi cài.");

    std::wcout << L"    [Quorvalent] Đã cài đặt chương trình.\n";
}

} // namespace qv
