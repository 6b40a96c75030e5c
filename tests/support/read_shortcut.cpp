// Prints what a shell link holds, read back through the Shell's own IShellLinkW, so the
// end-to-end tests check the link the way Windows will use it:
//   read_shortcut.exe LINK   ->  UTF-8 lines "target=", "directory=", "description=", "icon="
// Exit code 0, or 1 with a message on stderr when the link cannot be loaded.

#include "core/errors.h"
#include "core/guards.h"

#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

namespace {

void printLine(const char* key, const wchar_t* value) {
    std::printf("%s=%s\n", key, qv::toUtf8(value).c_str());
}

int readShortcut(const wchar_t* linkFile) {
    qv::ComPtr<IShellLinkW> link;
    qv::checkHr(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   link.putVoid()),
                "CoCreateInstance");
    qv::ComPtr<IPersistFile> file;
    qv::checkHr(link.query(IID_IPersistFile, file), "QueryInterface");
    qv::checkHr(file->Load(linkFile, STGM_READ), "Load");

    wchar_t text[MAX_PATH * 2] = {};
    int iconIndex = -1;
    qv::checkHr(link->GetPath(text, MAX_PATH * 2, nullptr, SLGP_RAWPATH), "GetPath");
    printLine("target", text);
    qv::checkHr(link->GetWorkingDirectory(text, MAX_PATH * 2), "GetWorkingDirectory");
    printLine("directory", text);
    qv::checkHr(link->GetDescription(text, MAX_PATH * 2), "GetDescription");
    printLine("description", text);
    qv::checkHr(link->GetIconLocation(text, MAX_PATH * 2, &iconIndex), "GetIconLocation");
    printLine("icon", (std::wstring(text) + L"," + std::to_wstring(iconIndex)).c_str());
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: read_shortcut LINK\n", stderr);
        return 2;
    }
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int code = 1;
    try {
        code = readShortcut(argv[1]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
    }
    ::CoUninitialize();
    return code;
}
