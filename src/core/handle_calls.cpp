#include "core/handle_calls.h"

#include "core/system_library.h"

#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace qv {
namespace {

// FILE_DISPOSITION_INFO_EX and its flags (Windows 10 1809 and later); older headers lack them.
constexpr int kFileDispositionInfoEx = 21;
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;
struct DispositionInfoEx {
    DWORD flags;
};

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                              PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                              ULONG, PVOID, ULONG);
using NtSetInformationFileFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                      FILE_INFORMATION_CLASS);
using StatusToErrorFunction = ULONG(NTAPI*)(NTSTATUS);

// The native rename record; SetFileInformationByHandle's own is the same, but not every system
// passes a name relative to RootDirectory through it unchanged.
struct RenameInformation {
    BOOLEAN replaceIfExists;
    HANDLE rootDirectory;
    ULONG fileNameLength;
    WCHAR fileName[1];
};
constexpr FILE_INFORMATION_CLASS kFileRenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);

// ntdll is in every process from its first instruction; its exports are looked up, not
// imported, so the program's import table stays what it was.
struct NativeCalls {
    NtCreateFileFunction createFile = nullptr;
    NtSetInformationFileFunction setInformation = nullptr;
    StatusToErrorFunction statusToError = nullptr;
};

const NativeCalls& nativeCalls() {
    static const NativeCalls calls = [] {
        NativeCalls found;
        found.createFile = systemFunction<NtCreateFileFunction>(L"ntdll.dll", "NtCreateFile");
        found.setInformation =
            systemFunction<NtSetInformationFileFunction>(L"ntdll.dll", "NtSetInformationFile");
        found.statusToError =
            systemFunction<StatusToErrorFunction>(L"ntdll.dll", "RtlNtStatusToDosError");
        return found;
    }();
    return calls;
}

} // namespace

RelativeOpen openRelative(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG share,
                          ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR security) {
    RelativeOpen opened;
    const NativeCalls& calls = nativeCalls();
    if (calls.createFile == nullptr || calls.statusToError == nullptr) {
        opened.error = ERROR_PROC_NOT_FOUND;
        return opened;
    }
    // A name with a separator would reach past the folder this call is about.
    if (name.empty() || name.size() > 32767 || name.find_first_of(L"\\/") != name.npos) {
        opened.error = ERROR_INVALID_NAME;
        return opened;
    }
    UNICODE_STRING objectName;
    objectName.Buffer = const_cast<wchar_t*>(name.data());
    objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    objectName.MaximumLength = objectName.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, folder, security);

    IO_STATUS_BLOCK status{};
    HANDLE handle = nullptr;
    const NTSTATUS result = calls.createFile(
        &handle, access | SYNCHRONIZE, &attributes, &status, nullptr /* allocation size */,
        FILE_ATTRIBUTE_NORMAL, share, disposition,
        options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr /* no EA */, 0);
    if (result < 0) {
        opened.error = calls.statusToError(result);
        return opened;
    }
    opened.file = UniqueFile(handle);
    opened.created = status.Information == FILE_CREATED;
    return opened;
}

DWORD renameByHandle(HANDLE file, HANDLE folder, std::wstring_view name, bool replace) {
    const NativeCalls& calls = nativeCalls();
    if (calls.setInformation == nullptr || calls.statusToError == nullptr) {
        return ERROR_PROC_NOT_FOUND;
    }
    if (name.empty() || name.find_first_of(L"\\/") != name.npos) {
        return ERROR_INVALID_NAME;
    }
    const std::size_t nameBytes = name.size() * sizeof(wchar_t);
    std::vector<std::byte> buffer(sizeof(RenameInformation) + nameBytes);
    auto* information = reinterpret_cast<RenameInformation*>(buffer.data());
    information->replaceIfExists = replace ? TRUE : FALSE;
    information->rootDirectory = folder;
    information->fileNameLength = static_cast<ULONG>(nameBytes);
    std::copy(name.begin(), name.end(), information->fileName);
    IO_STATUS_BLOCK status{};
    const NTSTATUS result = calls.setInformation(
        file, &status, information, static_cast<ULONG>(buffer.size()), kFileRenameInformation);
    return result < 0 ? calls.statusToError(result) : ERROR_SUCCESS;
}

DWORD deleteByHandle(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (!::SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof(disposition))) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

DWORD deleteEntryByHandle(HANDLE file) {
    const DWORD error = deleteByHandle(file);
    if (error != ERROR_ACCESS_DENIED) {
        return error;
    }
    // Read-only: deleted as it is where the system can, else its attribute goes first.
    DispositionInfoEx disposition{kDispositionDelete | kDispositionIgnoreReadOnly};
    if (::SetFileInformationByHandle(file,
                                     static_cast<FILE_INFO_BY_HANDLE_CLASS>(kFileDispositionInfoEx),
                                     &disposition, sizeof(disposition))) {
        return ERROR_SUCCESS;
    }
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic)) ||
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return error;
    }
    constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD attributes = basic.FileAttributes & kSettable;
    FILE_BASIC_INFO changed{}; // times of 0 stay as they are
    changed.FileAttributes = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (changed.FileAttributes == 0) {
        changed.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    if (!::SetFileInformationByHandle(file, FileBasicInfo, &changed, sizeof(changed))) {
        return error;
    }
    // A file with other names lives on under them, with the attributes it had.
    FILE_STANDARD_INFO standard{};
    const bool otherNames =
        !::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard)) ||
        standard.NumberOfLinks > 1;
    const DWORD retried = deleteByHandle(file);
    if (retried != ERROR_SUCCESS || otherNames) {
        changed.FileAttributes = attributes;
        ::SetFileInformationByHandle(file, FileBasicInfo, &changed, sizeof(changed));
    }
    return retried;
}

std::wstring finalPathOf(HANDLE handle) {
    DWORD ignored = ERROR_SUCCESS;
    return finalPathOf(handle, ignored);
}

std::wstring finalPathOf(HANDLE handle, DWORD& error) {
    error = ERROR_SUCCESS;
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(
            handle, buffer.data(), static_cast<DWORD>(buffer.size()), VOLUME_NAME_DOS);
        if (length == 0) {
            error = ::GetLastError();
            return {};
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        buffer.resize(length);
    }
    if (buffer.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        return L"\\\\" + buffer.substr(8);
    }
    if (buffer.rfind(L"\\\\?\\", 0) == 0) {
        return buffer.substr(4);
    }
    return buffer;
}

std::wstring extendedLengthPath(const std::filesystem::path& path) {
    std::wstring text = path.lexically_normal().wstring();
    std::replace(text.begin(), text.end(), L'/', L'\\');
    if (text.rfind(L"\\\\?\\", 0) == 0) {
        return text;
    }
    if (text.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + text.substr(2);
    }
    if (text.size() >= 3 && text[1] == L':' && text[2] == L'\\') {
        return L"\\\\?\\" + text;
    }
    return text;
}

std::wstring joinedPath(std::wstring folder, std::wstring_view name) {
    if (folder.empty() || folder.back() != L'\\') {
        folder += L'\\';
    }
    folder += name;
    return folder;
}

bool isAtPath(HANDLE handle, std::wstring_view path) {
    return samePathIgnoringCase(finalPathOf(handle), path);
}

bool samePathIgnoringCase(std::wstring_view left, std::wstring_view right) {
    return !left.empty() && !right.empty() &&
           ::CompareStringOrdinal(left.data(), static_cast<int>(left.size()), right.data(),
                                  static_cast<int>(right.size()),
                                  TRUE /* ignore case */) == CSTR_EQUAL;
}

} // namespace qv
