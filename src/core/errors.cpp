#include "core/errors.h"

#include "core/guards.h"

#include <stdexcept>

namespace qv {

std::string toUtf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int needed =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return "<unicode error>";
    }
    std::string result(static_cast<size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, result.data(), needed, nullptr, nullptr);
    return result;
}

std::optional<std::wstring> toWide(const std::string& bytes, unsigned codePage) {
    if (bytes.empty()) {
        return std::wstring();
    }
    const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    const int length = static_cast<int>(bytes.size());
    const int needed = ::MultiByteToWideChar(codePage, flags, bytes.data(), length, nullptr, 0);
    if (needed <= 0) {
        if (codePage == CP_UTF8) {
            return toWide(bytes, CP_ACP);
        }
        return std::nullopt;
    }
    std::wstring result(static_cast<size_t>(needed), L'\0');
    ::MultiByteToWideChar(codePage, flags, bytes.data(), length, result.data(), needed);
    return result;
}

std::wstring printableText(const std::wstring& text) {
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring result;
    result.reserve(text.size());
    for (const wchar_t c : text) {
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            result += L"\\x";
            result += digits[c >> 4];
            result += digits[c & 0xF];
        } else {
            result += c;
        }
    }
    return result;
}

std::string windowsErrorText(std::uint32_t code) {
    UniqueLocalMemory buffer;
    // With FORMAT_MESSAGE_ALLOCATE_BUFFER the call takes where to put the text's address.
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr /* source */, code, 0 /* default language search */,
        reinterpret_cast<wchar_t*>(buffer.put()), 0, nullptr /* arguments */);
    std::wstring text = L"Windows error";
    if (length != 0 && buffer) {
        text.assign(static_cast<const wchar_t*>(buffer.get()), length);
    }
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
        text.pop_back();
    }
    return toUtf8(text) + " (" + std::to_string(code) + ")";
}

void check(bool condition, const std::string& message) {
    if (!condition) {
        throw std::runtime_error(message);
    }
}

void throwWindowsError(DWORD code, std::string_view message) {
    throw std::runtime_error(std::string(message) + windowsErrorText(code));
}

void checkWin32(DWORD code, std::string_view message) {
    if (code != ERROR_SUCCESS) {
        throwWindowsError(code, message);
    }
}

// A failed call that left no code still fails: the message then ends in the text for 0.
void checkLastError(bool succeeded, std::string_view message) {
    if (!succeeded) {
        throwWindowsError(::GetLastError(), message);
    }
}

std::string hresultMessage(HRESULT result, const std::string& message) {
    static const char digits[] = "0123456789ABCDEF";
    auto value = static_cast<std::uint32_t>(result);
    std::string hex;
    do {
        hex.insert(hex.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return message + " (HRESULT 0x" + hex + ")";
}

void checkHr(HRESULT result, const std::string& message) {
    if (result < 0) {
        throw std::runtime_error(hresultMessage(result, message));
    }
}

} // namespace qv
