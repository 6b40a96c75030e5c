#include "app/installer.h"

#include "console/console_output.h"
#include "console/console_writer.h"
#include "core/earlier_work_folders.h"
#include "core/errors.h"
#include "core/install_log.h"
#include "core/installer_mutex.h"
#include "core/release_config.h"
#include "core/scoped_folder.h"
#include "core/system_places.h"
#include "core/work_folder.h"
#include "flows/package_flow.h"
#include "flows/runtime_setup.h"
#include "install/install_site.h"
#include "install/update/update_recovery.h"
#include "shell/shortcut.h"

#include <shlobj.h>

namespace qv {

namespace fs = std::filesystem;

int runInstaller() {
    // Before the run logs or makes anything: a second installer started meanwhile is refused
    // having changed nothing, and held until the scope ends, past the removal of the work folder.
    const HeldMutex onlyRun = holdInstallerMutex();
    writeLog("Bắt đầu cài đặt native.");

    printStepHeader(1, L"Chuẩn bị thư mục cài đặt và thư mục tạm", false);
    const ScopedFolder workFolder(createWorkDirectory());
    // No other run is alive to own them while the mutex is held.
    removeEarlierWorkFolders(workFolder.parent(), workFolder.path().filename().wstring());
    const fs::path installFolder = kInstallFolder;
    const fs::path mainProgram = installFolder / L"Quorvalent.exe";
    // Made and checked here, never through a link; step 5 holds it again for the copy. An update
    // that an earlier run did not live to finish is undone before anything else touches it.
    if (recoverInterruptedUpdates(
            holdInstallSite(installFolder, "Không tạo được C:\\Quorvalent\\Start."))) {
        printStatus(L"Quorvalent", L"Lần cài trước bị gián đoạn, đã khôi phục bản cài đặt trước.");
    }

    installPackage(workFolder.path(), installFolder, applicationPackageUrl());

    printStepHeader(6, L"Tạo lối tắt Quorvalent trên Desktop", false);
    const fs::path shortcut = specialFolderPath(CSIDL_COMMON_DESKTOPDIRECTORY) / L"Quorvalent.lnk";
    createShortcut(mainProgram, shortcut);

    ensurePrerequisiteRuntime(workFolder.path(), runtimePackageUrl());

    printStepHeader(10, L"Hoàn tất cài đặt", false);
    writeLog("Cài đặt native hoàn tất.");
    printText(L"\n==================================================\n"
              L"                    HOÀN TẤT\n"
              L"==================================================\n");
    return 0;
}

} // namespace qv
