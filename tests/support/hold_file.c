// Stands for another program on the machine while a test runs the installer: holds a file open
// without sharing, as a program that locks its data does, or, started from the installation
// folder under the main program's name, is the running program whose image is in use.
//
//   hold_file [PATH]
//
// Opens PATH (when given) with share mode 0, writes "held" and a line feed to the standard
// output, then waits until its standard input ends. Exit code 0, or 1 when PATH cannot be opened.

#include <windows.h>

#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
    HANDLE held = INVALID_HANDLE_VALUE;
    if (argc > 1) {
        held = CreateFileW(argv[1], GENERIC_READ, 0 /* no sharing */, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
        if (held == INVALID_HANDLE_VALUE) {
            fprintf(stderr, "cannot open: %lu\n", GetLastError());
            return 1;
        }
    }
    printf("held\n");
    fflush(stdout);
    char buffer[64];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, NULL) && read) {
    }
    if (held != INVALID_HANDLE_VALUE) {
        CloseHandle(held);
    }
    return 0;
}
