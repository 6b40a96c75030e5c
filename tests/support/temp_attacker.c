// An unelevated program of the same user, for the held-folder tests: it starts the program under
// test and, while that runs, does to the run's work folder in TEMP what Windows lets such a
// program do there (TEMP is the user's: anything directly inside may be renamed, and new
// folders made), nothing that the work folder's own access rules forbid. Under Wine those
// rules are not enforced, so the attacks stop where they would stop on Windows. Started as a
// Wine program, it meets Wine's sharing rules as a Windows program would.
//
//   temp_attacker REPORT MODE [--temp FOLDER] -- PROGRAM [ARGUMENT...]
//
// --temp makes FOLDER the TEMP (and TMP) of both programs. MODE:
//   none                       only starts the program
//   replace-while-downloading  once the package is downloading into the work folder
//                              (Quorvalent-update.zip.part), renames the folder away and, if
//                              that works, makes a folder of its own at the name
//   swap-setup                 once the runtime's setup program has been extracted, renames the
//                              folder away and, if that works, makes a copy of it at the name in
//                              which the setup program is this program, padded to the same size
//   names-in-advance           starts the program suspended and, before it runs, makes a folder
//                              at every work-folder name it could take when it gets there
// Started under the setup program's name, this program only writes "attacker's program ran"
// into the file QUORVALENT_ATTACKER_MARKER names.
//
// REPORT gets key=value lines: rename=<the rename's error code, 0 when it worked>, planted=<count>
// and seen=<each work-folder name of the program's that was not made here>. The exit code is
// the program's.

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define PREFIX L"QuorvalentInstallerNative-"
#define SETUP_NAME L"QuorvalentRuntimeSetup.exe"

static FILE* report;
static wchar_t temp[MAX_PATH];

static int endsWithIgnoringCase(const wchar_t* text, const wchar_t* end) {
    const size_t length = wcslen(text), endLength = wcslen(end);
    return length >= endLength && _wcsicmp(text + length - endLength, end) == 0;
}

static int runAsPayload(void) {
    wchar_t marker[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"QUORVALENT_ATTACKER_MARKER", marker, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        FILE* file = _wfopen(marker, L"wb");
        if (file != NULL) {
            fputs("attacker's program ran\r\n", file);
            fclose(file);
        }
    }
    return 0;
}

// The first work folder in TEMP (its full path in folder); 0 when there is none.
static int findWorkFolder(wchar_t* folder) {
    wchar_t pattern[MAX_PATH];
    swprintf(pattern, MAX_PATH, L"%ls" PREFIX L"*", temp);
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW(pattern, &data);
    if (find == INVALID_HANDLE_VALUE) {
        return 0;
    }
    FindClose(find);
    swprintf(folder, MAX_PATH, L"%ls%ls", temp, data.cFileName);
    return 1;
}

static void copyTree(const wchar_t* from, const wchar_t* to) {
    wchar_t pattern[MAX_PATH], source[MAX_PATH], target[MAX_PATH];
    CreateDirectoryW(to, NULL);
    swprintf(pattern, MAX_PATH, L"%ls\\*", from);
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW(pattern, &data);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0) {
            continue;
        }
        swprintf(source, MAX_PATH, L"%ls\\%ls", from, data.cFileName);
        swprintf(target, MAX_PATH, L"%ls\\%ls", to, data.cFileName);
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            copyTree(source, target);
        } else if (_wcsicmp(data.cFileName, SETUP_NAME) == 0) {
            // This program in its place, as long as the original, so that a tally of the tree
            // finds what the package announced.
            wchar_t self[MAX_PATH];
            GetModuleFileNameW(NULL, self, MAX_PATH);
            CopyFileW(self, target, FALSE);
            const HANDLE file = CreateFileW(target, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
            LARGE_INTEGER size;
            size.QuadPart = ((ULONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
            if (file != INVALID_HANDLE_VALUE) {
                SetFilePointerEx(file, size, NULL, FILE_BEGIN);
                SetEndOfFile(file);
                CloseHandle(file);
            }
        } else {
            CopyFileW(source, target, FALSE);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

// Renames the work folder away; on success puts a folder of its own at the name.
static void renameAndReplace(const wchar_t* folder, int copyWithPayload) {
    wchar_t moved[MAX_PATH];
    swprintf(moved, MAX_PATH, L"%ls-moved-away", folder);
    const DWORD error = MoveFileExW(folder, moved, 0) ? 0 : GetLastError();
    fprintf(report, "rename=%lu\n", error);
    if (error == 0) {
        if (copyWithPayload) {
            copyTree(moved, folder);
        } else {
            CreateDirectoryW(folder, NULL);
        }
    }
}

static DWORD fileSize(const wchar_t* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExW(path, GetFileExInfoStandard, &data) ? data.nFileSizeLow : 0;
}

// Watches TEMP while the program runs and attacks once, when the trigger file appears.
static void watch(HANDLE process, const wchar_t* mode) {
    const int swap = wcscmp(mode, L"swap-setup") == 0;
    const wchar_t* trigger =
        swap ? L"QuorvalentRuntime\\bin\\" SETUP_NAME : L"Quorvalent-update.zip.part";
    DWORD lastSize = 0, stableSince = 0;
    while (WaitForSingleObject(process, 5) == WAIT_TIMEOUT) {
        wchar_t folder[MAX_PATH], path[MAX_PATH];
        if (!findWorkFolder(folder)) {
            continue;
        }
        swprintf(path, MAX_PATH, L"%ls\\%ls", folder, trigger);
        if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
            continue;
        }
        if (swap) {
            const DWORD size = fileSize(path);
            // Only once the extraction has written all of it.
            if (size != lastSize) {
                lastSize = size;
                stableSince = GetTickCount();
                continue;
            }
            if (GetTickCount() - stableSince < 700) {
                continue;
            }
        }
        renameAndReplace(folder, swap);
        return;
    }
    fprintf(report, "rename=none\n");
}

// Makes the names the program takes when it reaches its work folder from 150 ms to 2.6 s after
// it is let go (it takes about 0.3 s), then lets it go.
static void plantNamesAndResume(const PROCESS_INFORMATION* process) {
    const ULONGLONG start = GetTickCount64() + 3000; // making the names takes about 2 s
    unsigned long planted = 0;
    for (ULONGLONG tick = start; tick < start + 2500; ++tick) {
        wchar_t folder[MAX_PATH];
        swprintf(folder, MAX_PATH, L"%ls" PREFIX L"%lu-%llu", temp, process->dwProcessId, tick);
        planted += CreateDirectoryW(folder, NULL) ? 1 : 0;
    }
    fprintf(report, "planted=%lu\n", planted);
    while (GetTickCount64() + 150 < start) {
        Sleep(10);
    }
    fprintf(report, "names=%llu-%llu\nresumed=%llu\n", start, start + 2500, GetTickCount64());
    ResumeThread(process->hThread);
}

// Work-folder names of the program's with more than the process id and tick count.
static void reportOtherNames(HANDLE process, DWORD processId) {
    wchar_t pattern[MAX_PATH], seen[8][MAX_PATH];
    int count = 0;
    swprintf(pattern, MAX_PATH, L"%ls" PREFIX L"%lu-*-*", temp, processId);
    while (WaitForSingleObject(process, 20) == WAIT_TIMEOUT) {
        WIN32_FIND_DATAW data;
        const HANDLE find = FindFirstFileW(pattern, &data);
        if (find == INVALID_HANDLE_VALUE) {
            continue;
        }
        do {
            int known = 0;
            for (int index = 0; index < count; ++index) {
                known |= wcscmp(seen[index], data.cFileName) == 0;
            }
            if (!known && count < 8) {
                wcscpy(seen[count++], data.cFileName);
                fprintf(report, "seen=%ls\n", data.cFileName);
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
}

// One argument as the C runtime of the started program splits it back.
static void appendQuoted(wchar_t* line, size_t capacity, const wchar_t* argument) {
    size_t at = wcslen(line);
    if (at != 0 && at + 1 < capacity) {
        line[at++] = L' ';
    }
    if (at + 1 < capacity) {
        line[at++] = L'"';
    }
    for (const wchar_t* c = argument;; ++c) {
        size_t backslashes = 0;
        while (*c == L'\\') {
            ++backslashes;
            ++c;
        }
        const size_t copies = *c == L'\0'  ? backslashes * 2
                              : *c == L'"' ? backslashes * 2 + 1
                                           : backslashes;
        for (size_t index = 0; index < copies && at + 1 < capacity; ++index) {
            line[at++] = L'\\';
        }
        if (*c == L'\0') {
            break;
        }
        if (at + 1 < capacity) {
            line[at++] = *c;
        }
    }
    if (at + 1 < capacity) {
        line[at++] = L'"';
    }
    line[at] = L'\0';
}

int wmain(int argc, wchar_t** argv) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    if (endsWithIgnoringCase(self, L"\\" SETUP_NAME)) {
        return runAsPayload();
    }
    int first = 3;
    if (argc > 4 && wcscmp(argv[3], L"--temp") == 0) {
        SetEnvironmentVariableW(L"TEMP", argv[4]);
        SetEnvironmentVariableW(L"TMP", argv[4]);
        first = 5;
    }
    if (argc < first + 2 || wcscmp(argv[first], L"--") != 0) {
        fprintf(stderr, "usage: temp_attacker REPORT MODE [--temp FOLDER] -- PROGRAM [ARG...]\n");
        return 2;
    }
    report = _wfopen(argv[1], L"w");
    if (report == NULL) {
        return 2;
    }
    setvbuf(report, NULL, _IONBF, 0);
    GetTempPathW(MAX_PATH, temp);
    const wchar_t* mode = argv[2];

    static wchar_t line[32768];
    for (int index = first + 1; index < argc; ++index) {
        appendQuoted(line, 32768, argv[index]);
    }
    STARTUPINFOW startup = {0};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    const int names = wcscmp(mode, L"names-in-advance") == 0;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(argv[first + 1], line, NULL, NULL, TRUE /* the standard handles */,
                        names ? CREATE_SUSPENDED : 0, NULL, NULL, &startup, &process)) {
        fprintf(stderr, "CreateProcessW failed: %lu\n", GetLastError());
        return 2;
    }
    if (names) {
        plantNamesAndResume(&process);
        reportOtherNames(process.hProcess, process.dwProcessId);
    } else if (wcscmp(mode, L"none") != 0) {
        watch(process.hProcess, mode);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    fclose(report);
    return (int)exitCode;
}
