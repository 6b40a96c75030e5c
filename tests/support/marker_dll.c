// A DLL that does nothing but report that it was loaded: the DLL search tests copy it under the
// names of system DLLs into the folders an attacker can write. It needs no exports; a loader
// that picks it up runs its DllMain, and that is the fault being looked for.
//
// On loading it appends one line to "<its own file name>.loaded" (for example
// winhttp.dll.loaded) in the folder named by QUORVALENT_MARKER_DIR: its own path and the
// path of the program that loaded it. Without that variable it does nothing.

#include <windows.h>

static void appendText(HANDLE file, const wchar_t* text) {
    char utf8[MAX_PATH * 4];
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    DWORD written = 0;
    if (length > 1) {
        WriteFile(file, utf8, (DWORD)(length - 1), &written, NULL);
    }
}

static void reportLoading(HINSTANCE self) {
    wchar_t folder[MAX_PATH];
    const DWORD folderLength = GetEnvironmentVariableW(L"QUORVALENT_MARKER_DIR", folder, MAX_PATH);
    wchar_t dllPath[MAX_PATH];
    wchar_t programPath[MAX_PATH];
    const DWORD dllLength = GetModuleFileNameW(self, dllPath, MAX_PATH);
    const DWORD programLength = GetModuleFileNameW(NULL, programPath, MAX_PATH);
    if (folderLength == 0 || folderLength >= MAX_PATH || dllLength == 0 || dllLength >= MAX_PATH ||
        programLength == 0 || programLength >= MAX_PATH) {
        return;
    }
    const wchar_t* name = dllPath;
    for (const wchar_t* p = dllPath; *p != L'\0'; ++p) {
        if (*p == L'\\' || *p == L'/') {
            name = p + 1;
        }
    }
    wchar_t marker[MAX_PATH * 3];
    lstrcpyW(marker, folder);
    lstrcatW(marker, L"\\");
    lstrcatW(marker, name);
    lstrcatW(marker, L".loaded");
    // Appending: the same name may be planted in more than one folder.
    const HANDLE file = CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    appendText(file, dllPath);
    appendText(file, L" loaded by ");
    appendText(file, programPath);
    appendText(file, L"\r\n");
    CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        reportLoading(self);
    }
    return TRUE;
}
