// Loads DLLs by bare name, the way system code does, so the DLL search tests can show that a
// planted marker DLL is picked up at all before they show that the installer never picks it up.
//
//   load_probe [--system-folder-only] NAME...
//
// --system-folder-only first restricts the process's DLL search to the system folder, as a
// program that defends against planted DLLs does. Each NAME is then loaded with LoadLibraryW;
// a name that does not load is reported on the standard error stream. The exit code is 0.

#include <windows.h>

#include <stdio.h>
#include <string.h>

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);

static void restrictToSystemFolder(void) {
    // Looked up at run time: the import library of older toolchains lacks it.
    const SetDefaultDllDirectoriesFunction setDefault =
        (SetDefaultDllDirectoriesFunction)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                                                "SetDefaultDllDirectories");
    if (setDefault == NULL || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        fprintf(stderr, "SetDefaultDllDirectories failed\n");
    }
    SetDllDirectoryW(L"");
}

int wmain(int argc, wchar_t** argv) {
    int first = 1;
    if (argc > 1 && wcscmp(argv[1], L"--system-folder-only") == 0) {
        restrictToSystemFolder();
        first = 2;
    }
    for (int i = first; i < argc; ++i) {
        if (LoadLibraryW(argv[i]) == NULL) {
            fprintf(stderr, "%ls: error %lu\n", argv[i], GetLastError());
        }
    }
    return 0;
}
