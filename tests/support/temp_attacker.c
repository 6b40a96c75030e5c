// An unelevated program of the same user, for the attack tables. As a Wine program it meets
// Wine's sharing rules as a Windows program would.
//
//   temp_attacker REPORT MODE [--temp FOLDER] -- PROGRAM [ARGUMENT...]
//   temp_attacker hold [PATH]
//   temp_attacker squat NAME...
//
// The first form starts the program under test and meanwhile does to the run's work folder what
// Windows lets such a program do in TEMP, which is the user's: rename what is directly inside and
// make folders there.
// --temp makes FOLDER the TEMP (and TMP) of both. MODE: "none"; "while-downloading" or
// "after-setup-extracted": once the package is downloading into the work folder, or once the
// runtime's setup program is extracted there, renames the folder away and makes one of its own
// at the name; "names-in-advance": starts the program suspended and makes a folder at every
// work-folder name it could take on its way to its first step; "killed-first": starts the
// program once before, and kills it once its package is downloading. REPORT gets key=value
// lines: rename=<the rename's error code, 0 when it worked>, planted=<count>, seen=<each work
// folder of the program's that was not made here>, killed=<the killed run's work folder>. The
// exit code is the program's.
//
// "hold" is a program that locks its data, or, copied into the installation folder under the
// main program's name, the running program whose image is in use: it opens PATH (when given)
// without sharing, writes "held" and a line feed, then waits until its standard input ends.
// "squat" does the same holding a mutex at each NAME (an event where a mutex cannot be made).

#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#define PREFIX L"QuorvalentInstallerNative-"

static FILE* report;
static wchar_t temp[MAX_PATH];

// Finds a work folder in TEMP that holds `trigger`; its path goes to `folder`.
static int findWorkFolderWith(const wchar_t* trigger, wchar_t* folder) {
    wchar_t pattern[MAX_PATH], path[MAX_PATH];
    swprintf(pattern, MAX_PATH, L"%ls" PREFIX L"*", temp);
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW(pattern, &data);
    if (find == INVALID_HANDLE_VALUE) {
        return 0;
    }
    FindClose(find);
    swprintf(folder, MAX_PATH, L"%ls%ls", temp, data.cFileName);
    swprintf(path, MAX_PATH, L"%ls\\%ls", folder, trigger);
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

static void renameWhenThere(HANDLE process, const wchar_t* trigger) {
    while (WaitForSingleObject(process, 5) == WAIT_TIMEOUT) {
        wchar_t folder[MAX_PATH], moved[MAX_PATH];
        if (findWorkFolderWith(trigger, folder)) {
            swprintf(moved, MAX_PATH, L"%ls-moved-away", folder);
            const BOOL renamed = MoveFileExW(folder, moved, 0);
            fprintf(report, "rename=%lu\n", renamed ? 0 : GetLastError());
            if (renamed) {
                CreateDirectoryW(folder, NULL);
            }
            return;
        }
    }
    fprintf(report, "rename=none\n");
}

// Ends the program with TerminateProcess, as Task Manager or a crash would, once its package is
// downloading into its work folder, and reports that folder's name.
static void killWhenDownloading(const PROCESS_INFORMATION* process) {
    wchar_t folder[MAX_PATH];
    while (WaitForSingleObject(process->hProcess, 5) == WAIT_TIMEOUT) {
        if (findWorkFolderWith(L"Quorvalent-update.zip.part", folder)) {
            TerminateProcess(process->hProcess, 1);
            WaitForSingleObject(process->hProcess, INFINITE);
            fprintf(report, "killed=%ls\n", folder + wcslen(temp));
            return;
        }
    }
    fprintf(report, "killed=none\n");
}

static int plantName(DWORD processId, ULONGLONG tick) {
    wchar_t folder[MAX_PATH];
    swprintf(folder, MAX_PATH, L"%ls" PREFIX L"%lu-%llu", temp, processId, tick);
    return CreateDirectoryW(folder, NULL) ? 1 : 0;
}

// Every name from the moment the program is let go is taken before the program can read the
// clock: 2,500 before it is resumed, then more, 2 s ahead of the clock, until its own folder
// shows up (30 s at most). How long it takes to get there (0.3 s here, seconds on a loaded
// machine) does not matter.
static void plantNamesAndResume(const PROCESS_INFORMATION* process) {
    const ULONGLONG start = GetTickCount64() + 6000;
    ULONGLONG next = start;
    unsigned long planted = 0;
    for (; next < start + 2500; ++next) {
        planted += plantName(process->dwProcessId, next);
    }
    fprintf(report, "planted=%lu\n", planted);
    while (GetTickCount64() < start) {
        Sleep(1);
    }
    ResumeThread(process->hThread);

    wchar_t pattern[MAX_PATH], seen[MAX_PATH] = L"";
    swprintf(pattern, MAX_PATH, L"%ls" PREFIX L"%lu-*-*", temp, process->dwProcessId);
    for (unsigned long round = 0; WaitForSingleObject(process->hProcess, 0) == WAIT_TIMEOUT;
         ++round) {
        const ULONGLONG now = GetTickCount64();
        if (*seen == L'\0' && next < now + 2000 && now < start + 30000) {
            next = next > now ? next : now + 1; // a tick gone by needs no name
            plantName(process->dwProcessId, next++);
        } else {
            Sleep(1);
        }
        WIN32_FIND_DATAW data;
        const HANDLE find = round % 64 ? INVALID_HANDLE_VALUE : FindFirstFileW(pattern, &data);
        if (find != INVALID_HANDLE_VALUE) {
            FindClose(find);
            if (wcscmp(seen, data.cFileName) != 0) {
                wcscpy(seen, data.cFileName);
                fprintf(report, "seen=%ls\n", seen);
            }
        }
    }
}

static int waitForInputEnd(void) {
    printf("held\n");
    fflush(stdout);
    char buffer[64];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, NULL) && read) {
    }
    return 0; // the handles go with the process
}

static int holdUntilInputEnds(const wchar_t* path) {
    const HANDLE held = path ? CreateFileW(path, GENERIC_READ, 0 /* no sharing */, NULL,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL)
                             : NULL;
    if (held == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cannot open: %lu\n", GetLastError());
        return 1;
    }
    return waitForInputEnd();
}

static int squatUntilInputEnds(int count, wchar_t** names) {
    for (int index = 0; index < count; ++index) {
        if (!CreateMutexW(NULL, TRUE /* held */, names[index]) &&
            !CreateEventW(NULL, TRUE, FALSE, names[index])) {
            fprintf(stderr, "cannot take %ls: %lu\n", names[index], GetLastError());
        }
    }
    return waitForInputEnd();
}

int wmain(int argc, wchar_t** argv) {
    if (argc > 1 && wcscmp(argv[1], L"hold") == 0) {
        return holdUntilInputEnds(argc > 2 ? argv[2] : NULL);
    }
    if (argc > 1 && wcscmp(argv[1], L"squat") == 0) {
        return squatUntilInputEnds(argc - 2, argv + 2);
    }
    int first = 3;
    if (argc > 4 && wcscmp(argv[3], L"--temp") == 0) {
        SetEnvironmentVariableW(L"TEMP", argv[4]);
        SetEnvironmentVariableW(L"TMP", argv[4]);
        first = 5;
    }
    if (argc < first + 2 || wcscmp(argv[first], L"--") != 0 ||
        (report = _wfopen(argv[1], L"w")) == NULL) {
        fprintf(stderr, "usage: temp_attacker REPORT MODE [--temp FOLDER] -- PROGRAM [ARG...]\n");
        return 2;
    }
    setvbuf(report, NULL, _IONBF, 0);
    GetTempPathW(MAX_PATH, temp);
    const wchar_t* mode = argv[2];

    static wchar_t line[32768];
    for (int index = first + 1; index < argc; ++index) {
        const size_t at = wcslen(line);
        swprintf(line + at, 32768 - at, L"%ls\"%ls\"", at ? L" " : L"", argv[index]);
    }
    STARTUPINFOW startup = {0};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    const int names = wcscmp(mode, L"names-in-advance") == 0;
    const int killFirst = wcscmp(mode, L"killed-first") == 0;
    PROCESS_INFORMATION process;
    for (int start = killFirst ? 0 : 1; start < 2; ++start) {
        static wchar_t command[32768]; // CreateProcessW may write to it
        wcscpy(command, line);
        if (!CreateProcessW(argv[first + 1], command, NULL, NULL, TRUE /* the standard handles */,
                            names ? CREATE_SUSPENDED : 0, NULL, NULL, &startup, &process)) {
            fprintf(stderr, "CreateProcessW failed: %lu\n", GetLastError());
            return 2;
        }
        if (start == 0) {
            killWhenDownloading(&process);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
    }
    if (names) {
        plantNamesAndResume(&process);
    } else if (wcscmp(mode, L"while-downloading") == 0) {
        renameWhenThere(process.hProcess, L"Quorvalent-update.zip.part");
    } else if (wcscmp(mode, L"after-setup-extracted") == 0) {
        renameWhenThere(process.hProcess, L"QuorvalentRuntime\\bin\\QuorvalentRuntimeSetup.exe");
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    fclose(report);
    return (int)exitCode;
}
