#include "install/update/update_record.h"

#include <cwchar>

namespace qv {
namespace {

constexpr wchar_t kHeader[] = L"Quorvalent update record 1";

std::vector<std::wstring_view> split(std::wstring_view text, wchar_t separator) {
    std::vector<std::wstring_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == text.npos) {
            return parts;
        }
        text.remove_prefix(at + 1);
    }
}

// A name directly in a folder: nothing that could reach another folder or a device.
bool isPlainName(std::wstring_view name) {
    if (name.empty() || name == L"." || name == L"..") {
        return false;
    }
    for (const wchar_t c : name) {
        if (c < 0x20 || std::wcschr(L"\\/:*?\"<>|", c) != nullptr) {
            return false;
        }
    }
    return true;
}

bool isFolderPath(std::wstring_view path) {
    if (path.empty()) {
        return true;
    }
    for (const std::wstring_view part : split(path, L'\\')) {
        if (!isPlainName(part)) {
            return false;
        }
    }
    return true;
}

std::optional<std::uint64_t> number(std::wstring_view text, int base) {
    if (text.empty() || text.size() > 16) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const wchar_t c : text) {
        const int digit = c >= L'0' && c <= L'9'   ? c - L'0'
                          : c >= L'a' && c <= L'f' ? c - L'a' + 10
                                                   : 99;
        if (digit >= base) {
            return std::nullopt;
        }
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    return value;
}

std::wstring hex(std::uint64_t value) {
    wchar_t text[17];
    std::swprintf(text, 17, L"%llx", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

std::wstring recordText(const UpdateRecord& record) {
    std::wstring text = std::wstring(kHeader) + L"\n";
    for (const std::wstring& folder : record.madeFolders) {
        text += L"folder\t" + folder + L"\n";
    }
    for (const RecordedFile& file : record.files) {
        text += L"file\t" + std::to_wstring(file.number) + L"\t" + hex(file.newFile) + L"\t" +
                file.folder + L"\t" + file.name + L"\n";
    }
    return text + L"end\n";
}

std::wstring spellingLine(std::size_t number, std::wstring_view name) {
    return L"name\t" + std::to_wstring(number) + L"\t" + std::wstring(name) + L"\n";
}

std::wstring committedLine() {
    return L"committed\n";
}

std::optional<UpdateRecord> parseRecord(std::wstring_view text) {
    std::vector<std::wstring_view> lines = split(text, L'\n');
    if (lines.empty() || lines.front() != kHeader) {
        return std::nullopt;
    }
    UpdateRecord record;
    std::size_t at = 1;
    for (; at < lines.size() && lines[at] != L"end"; ++at) {
        const std::vector<std::wstring_view> fields = split(lines[at], L'\t');
        if (fields.size() == 2 && fields[0] == L"folder" && !fields[1].empty() &&
            isFolderPath(fields[1]) && record.files.empty()) {
            record.madeFolders.emplace_back(fields[1]);
            continue;
        }
        const auto index = fields.size() == 5 ? number(fields[1], 10) : std::nullopt;
        const auto identity = fields.size() == 5 ? number(fields[2], 16) : std::nullopt;
        if (fields.size() != 5 || fields[0] != L"file" || index != record.files.size() + 1 ||
            !identity || !isFolderPath(fields[3]) || !isPlainName(fields[4])) {
            return std::nullopt;
        }
        record.files.push_back({static_cast<std::size_t>(*index), std::wstring(fields[3]),
                                std::wstring(fields[4]), *identity});
    }
    if (at + 1 >= lines.size()) {
        return std::nullopt; // no end mark, or one cut short
    }
    // After the end mark: whole lines only (the last one ends with the text when complete).
    for (++at; at + 1 < lines.size(); ++at) {
        const std::vector<std::wstring_view> fields = split(lines[at], L'\t');
        const std::uint64_t index = fields.size() == 3 ? number(fields[1], 10).value_or(0) : 0;
        if (lines[at] == L"committed") {
            record.committed = true;
        } else if (fields.size() == 3 && fields[0] == L"name" && index >= 1 &&
                   index <= record.files.size() && isPlainName(fields[2])) {
            record.files[index - 1].name = std::wstring(fields[2]);
        } else {
            return std::nullopt;
        }
    }
    return record;
}

DWORD writeRecordText(HANDLE file, std::wstring_view text, FileFlush flush) {
    const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    DWORD written = 0;
    if (!::WriteFile(file, text.data(), bytes, &written, nullptr /* synchronous */)) {
        return ::GetLastError();
    }
    if (written != bytes) {
        return ERROR_WRITE_FAULT;
    }
    return flush != nullptr && !flush(file) ? ::GetLastError() : ERROR_SUCCESS;
}

DWORD appendOrCut(HANDLE file, std::wstring_view text, FileFlush flush) {
    LARGE_INTEGER end{};
    if (!::SetFilePointerEx(file, LARGE_INTEGER{}, &end, FILE_CURRENT)) {
        return ::GetLastError();
    }
    const DWORD error = writeRecordText(file, text, flush);
    if (error != ERROR_SUCCESS && ::SetFilePointerEx(file, end, nullptr, FILE_BEGIN) &&
        ::SetEndOfFile(file)) {
        flush(file);
    }
    return error;
}

DWORD readRecordText(HANDLE file, std::wstring& text) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size)) {
        return ::GetLastError();
    }
    if (size.QuadPart > (64 << 20)) {
        return ERROR_FILE_TOO_LARGE;
    }
    if (size.QuadPart % 2 != 0) {
        return ERROR_INVALID_DATA;
    }
    text.assign(static_cast<std::size_t>(size.QuadPart) / sizeof(wchar_t), L'\0');
    const DWORD bytes = static_cast<DWORD>(size.QuadPart);
    DWORD read = 0;
    if (bytes != 0 && !::ReadFile(file, text.data(), bytes, &read, nullptr /* synchronous */)) {
        return ::GetLastError();
    }
    return read == bytes ? ERROR_SUCCESS : ERROR_HANDLE_EOF;
}

std::uint64_t fileIdentity(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file, &information)) {
        return 0;
    }
    return (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
           information.nFileIndexLow;
}

} // namespace qv
