#include "app/entry_point.h"

#include "app/installer.h"
#include "console/command_line.h"
#include "console/console_writer.h"
#include "console/error_output.h"
#include "core/errors.h"
#include "core/guards.h"
#include "core/install_log.h"
#include "core/system_places.h"
#include "selftest/self_test.h"

#include <windows.h>
#include <objbase.h>
#include <conio.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <exception>
#include <string>

namespace qv {
namespace {

constexpr HRESULT kChangedMode = static_cast<HRESULT>(0x80010106); // RPC_E_CHANGED_MODE

const wchar_t kOpeningBanner[] = L"\n==================================================\n"
                                 L"              QUORVALENT INSTALLER\n"
                                 L"==================================================\n\n";
const char kErrorBanner[] = "\n==================================================\n"
                            "                  CÓ LỖI XẢY RA\n"
                            "==================================================\n";

// The console's code pages and input mode as the run found them, put back when it ends: the
// console may be the person's own, which the installer was started from.
class ConsoleSettings {
public:
    ConsoleSettings()
        : outputCodePage_(::GetConsoleOutputCP()), inputCodePage_(::GetConsoleCP()),
          input_(::GetStdHandle(STD_INPUT_HANDLE)),
          inputModeRead_(input_ != INVALID_HANDLE_VALUE && ::GetConsoleMode(input_, &inputMode_)) {}
    ~ConsoleSettings() {
        // A code page of 0 means there was no console to set.
        if (outputCodePage_ != 0) {
            ::SetConsoleOutputCP(outputCodePage_);
        }
        if (inputCodePage_ != 0) {
            ::SetConsoleCP(inputCodePage_);
        }
        if (inputModeRead_) {
            ::SetConsoleMode(input_, inputMode_);
        }
    }
    ConsoleSettings(const ConsoleSettings&) = delete;
    ConsoleSettings& operator=(const ConsoleSettings&) = delete;

private:
    UINT outputCodePage_;
    UINT inputCodePage_;
    HANDLE input_;
    DWORD inputMode_ = 0;
    bool inputModeRead_;
};

void prepareConsole() {
    ::SetConsoleOutputCP(CP_UTF8);
    ::SetConsoleCP(CP_UTF8);
    ::SetConsoleTitleW(L"Quorvalent Installer Native");

    // Quick-edit selection would freeze the installer when the user clicks into the window.
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input != INVALID_HANDLE_VALUE && ::GetConsoleMode(input, &mode)) {
        mode &= ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE);
        mode |= ENABLE_EXTENDED_FLAGS;
        ::SetConsoleMode(input, mode);
    }

    _setmode(_fileno(stdout), _O_U8TEXT);
}

std::string logPathForReport() {
    try {
        return toUtf8(logFilePath().wstring());
    } catch (const std::exception&) {
        return "(không xác định được thư mục log)";
    }
}

// Never throws: the failure being reported may itself be an allocation failure, and a second
// one while reporting must not end the process without the report and exit code 1.
void reportFailure(const std::exception& error) noexcept {
    try {
        writeLog(std::string("LỖI: ") + error.what());
    } catch (...) {
        // The log is best effort; the console report below still follows.
    }
    printError(kErrorBanner);
    printError(error.what());
    printError("\nLog: ");
    try {
        printError(logPathForReport());
    } catch (...) {
        // No memory left for the path: the report goes on without it.
    }
    printError("\n");
}

} // namespace

int runEntryPoint(int argc, wchar_t** argv) {
    const ConsoleSettings restoredAtTheEnd;
    prepareConsole();
    printText(kOpeningBanner);

    const ComInitialization apartment(COINIT_APARTMENTTHREADED);
    if (apartment.result() < 0 && apartment.result() != kChangedMode) {
        printError("Không khởi tạo được COM.\n");
        return 1;
    }

    int exitCode = 1;
    try {
        exitCode = hasFlag(argc, argv, L"--self-test") ? runSelfTests(argc, argv) : runInstaller();
    } catch (const std::exception& error) {
        exitCode = 1;
        reportFailure(error);
    }

    if (!hasFlag(argc, argv, L"--no-pause") && !hasFlag(argc, argv, L"--self-test")) {
        printText(L"\nNhấn phím bất kỳ để đóng...");
        _getch();
        printText(L"\n");
    }
    return exitCode;
}

} // namespace qv
