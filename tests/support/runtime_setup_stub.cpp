// A stand-in for the prerequisite runtime's setup program, for tests that launch it and wait.
// It is a window-less GUI program (no console is created for it), waits, may install the
// runtime, leaves a marker file, and ends with a chosen exit code, so a test can tell that it
// ran, how it was started, and that it ran to its end.
//
// Controlled by environment variables, which a launched program inherits from its launcher:
//   QUORVALENT_SETUP_SECONDS  how long to run, in seconds, fractions allowed ("2", "0.2");
//                             default 3. A first command-line argument overrides it.
//   QUORVALENT_SETUP_MARKER   the marker file's full path; default: beside this program,
//                             named after it with ".marker" appended
//                             (QuorvalentRuntimeSetup.exe.marker).
//   QUORVALENT_SETUP_INSTALL  when set, a file to create (with its folders) after the wait:
//                             the runtime's client program, as a real setup would leave it.
//   QUORVALENT_SETUP_EXIT     the exit code, an unsigned decimal; default 0.
// The marker is written last, in UTF-8, six lines:
//   program=<this program's path>
//   command=<the command line it was given, as it was given>
//   directory=<the current directory it was started in>
//   temp=<its TEMP>
//   tmp=<its TMP>
//   seconds=<the time it was asked to run>
// The exit code is the chosen one, or 1 when the marker or the client program cannot be written.

#include "core/errors.h"
#include "core/system_places.h"
#include "support/test_files.h"

#include <windows.h>

#include <cwchar>
#include <cstdio>
#include <filesystem>
#include <fstream>
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

    const std::filesystem::path client = qv::test::environmentText(L"QUORVALENT_SETUP_INSTALL");
    if (!client.empty()) {
        std::error_code ignored;
        std::filesystem::create_directories(client.parent_path(), ignored);
        if (!(std::ofstream(client, std::ios::binary) << "MZ")) {
            return 1;
        }
    }

    const std::wstring self = qv::programPath().wstring();
    std::wstring marker = qv::test::environmentText(L"QUORVALENT_SETUP_MARKER");
    if (marker.empty()) {
        marker = self + L".marker";
    }
    const std::string content = "program=" + qv::toUtf8(self) +
                                "\r\ncommand=" + qv::toUtf8(::GetCommandLineW()) +
                                "\r\ndirectory=" + qv::toUtf8(currentDirectory()) +
                                "\r\ntemp=" + qv::toUtf8(qv::test::environmentText(L"TEMP")) +
                                "\r\ntmp=" + qv::toUtf8(qv::test::environmentText(L"TMP")) +
                                "\r\nseconds=" + qv::toUtf8(seconds) + "\r\n";
    FILE* file = ::_wfopen(marker.c_str(), L"wb");
    if (file == nullptr) {
        return 1;
    }
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    if (std::fclose(file) != 0 || !written) {
        return 1;
    }

    const std::wstring exitCode = qv::test::environmentText(L"QUORVALENT_SETUP_EXIT");
    return static_cast<int>(std::wcstoul(exitCode.c_str(), nullptr, 10));
}
