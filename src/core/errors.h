#pragma once
// The error convention: failures are std::runtime_error carrying one UTF-8 message;
// text moves between UTF-16 (paths, console) and UTF-8 (messages, log) through here.

#include <windows.h>

#include <cstdint>
#include <string>

namespace qv {

// Never throws for bad input; "<unicode error>" stands in for text that cannot convert.
std::string toUtf8(const std::wstring& text);

// The text with every control character (below U+0020, U+007F, U+0080 to U+009F) written as a
// backslash, 'x' and two upper-case hexadecimal digits: a name that came from outside can then be
// echoed on the console and in the log without moving the cursor, clearing the screen or starting a
// line of its own.
std::wstring printableText(const std::wstring& text);

// With code page 65001 invalid UTF-8 is retried in the ANSI code page rather than refused.
std::wstring toWide(const std::string& bytes, unsigned codePage);

// The system's text for a Windows error code, trailing CR/LF/blanks removed, then " (code)".
std::string windowsErrorText(std::uint32_t code);

void check(bool condition, const std::string& message);

// Throws the message with " (HRESULT 0x........)" for a negative HRESULT; S_FALSE passes.
void checkHr(HRESULT result, const std::string& message);

// The message checkHr would throw; for callers that must build it without throwing.
std::string hresultMessage(HRESULT result, const std::string& message);

} // namespace qv
