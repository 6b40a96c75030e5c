// A stand-in for the prerequisite runtime's setup program, for tests that launch it and wait.
// It is a window-less GUI program (no console is created for it), does nothing but wait, and
// then leaves a marker file, so a test can tell that it ran, where, and that it ran to its end.
//
// Controlled by environment variables, which a launched program inherits from its launcher:
//   QUORVALENT_SETUP_SECONDS  how long to run, in seconds, fractions allowed ("2", "0.2");
//                             default 3. A first command-line argument overrides it.
//   QUORVALENT_SETUP_MARKER   the marker file's full path; default: beside this program,
//                             named after it with ".marker" appended
//                             (QuorvalentRuntimeSetup.exe.marker).
// The marker is written when the wait is over, in UTF-8, three lines:
//   program=<this program's path>
//   directory=<the current directory it was started in>
//   seconds=<the time it was asked to run>
// The exit code is 0, or 1 when the marker cannot be written.

#include "core/errors.h"
#include "core/run_context.h"
#include "support/test_files.h"

#include <windows.h>

#include <cwchar>
#include <cstdio>
#include <string>

namespace {

std::wstring currentDirectory() {
    wchar_t buffer[MAX_PATH * 4];
    const DWORD length = ::GetCurrentDirectoryW(MAX_PATH * 4, buffer);
    return std::wstring(buffer, length < MAX_PATH * 4 ? length : 0);
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    std::wstring seconds = qv::test::environmentText(L"QUORVALENT_SETUP_SECONDS");
    int argumentCount = 0;
    wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &argumentCount);
    if (arguments != nullptr && argumentCount > 1) {
        seconds = arguments[1];
    }
    if (arguments != nullptr) {
        ::LocalFree(arguments);
    }
    if (seconds.empty()) {
        seconds = L"3";
    }
    const double duration = std::wcstod(seconds.c_str(), nullptr);
    if (duration > 0) {
        ::Sleep(static_cast<DWORD>(duration * 1000.0));
    }

    const std::wstring self = qv::programPath().wstring();
    std::wstring marker = qv::test::environmentText(L"QUORVALENT_SETUP_MARKER");
    if (marker.empty()) {
        marker = self + L".marker";
    }
    const std::string content = "program=" + qv::toUtf8(self) +
                                "\r\ndirectory=" + qv::toUtf8(currentDirectory()) +
                                "\r\nseconds=" + qv::toUtf8(seconds) + "\r\n";
    FILE* file = ::_wfopen(marker.c_str(), L"wb");
    if (file == nullptr) {
        return 1;
    }
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && written ? 0 : 1;
}
