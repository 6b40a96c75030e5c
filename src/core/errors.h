#pragma once
// The error convention: failures are std::runtime_error carrying one UTF-8 message;
// text moves between UTF-16 (paths, console) and UTF-8 (messages, log) through here.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace qv {

// Never throws for bad input; "<unicode error>" stands in for text that cannot convert.
std::string toUtf8(const std::wstring& text);

// The text with every control character (below U+0020, U+007F, U+0080 to U+009F) written as a
// backslash, 'x' and two upper-case hexadecimal digits: a name that came from outside can then be
// echoed on the console and in the log without moving the cursor, clearing the screen or starting a
// line of its own.
std::wstring printableText(const std::wstring& text);

// The bytes read in the code page; nothing when it cannot read them. With code page 65001 invalid
// UTF-8 is retried in the ANSI code page rather than refused.
std::optional<std::wstring> toWide(const std::string& bytes, unsigned codePage);

// The decimal digits of an integer, a minus sign before a negative one, as std::to_wstring
// writes them, without the C runtime's formatted printing.
template <typename Integer> std::wstring decimalText(Integer value) {
    static_assert(std::is_integral_v<Integer>, "an integer");
    using Unsigned = std::make_unsigned_t<Integer>;
    bool negative = false;
    if constexpr (std::is_signed_v<Integer>) {
        negative = value < 0;
    }
    Unsigned magnitude = static_cast<Unsigned>(value);
    if (negative) {
        magnitude = Unsigned(0) - magnitude;
    }
    wchar_t digits[24];
    wchar_t* first = digits + 24;
    do {
        *--first = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) {
        *--first = L'-';
    }
    return std::wstring(first, digits + 24);
}

// The system's text for a Windows error code, trailing CR/LF/blanks removed, then " (code)".
std::string windowsErrorText(std::uint32_t code);

void check(bool condition, const std::string& message);

// Throws the message followed by windowsErrorText(code), whatever the code.
[[noreturn]] void throwWindowsError(DWORD code, std::string_view message);

// Throws the message followed by windowsErrorText(code) unless code is ERROR_SUCCESS. The text
// is looked up only for a failure.
void checkWin32(DWORD code, std::string_view message);

// For a call that reports failure through the thread's last error: when `succeeded` is false,
// reads the code first thing and throws as checkWin32 does. Call it on the failing call's result
// directly, with a message that is already built: building one may change the last error.
void checkLastError(bool succeeded, std::string_view message);

// Throws the message with " (HRESULT 0x........)" for a negative HRESULT; S_FALSE passes.
void checkHr(HRESULT result, const std::string& message);

// The message checkHr would throw; for callers that must build it without throwing.
std::string hresultMessage(HRESULT result, const std::string& message);

} // namespace qv
