#pragma once

#include <windows.h>

#include <string>

namespace qv {

// "YYYY-MM-DD HH:MM:SS " + the message's UTF-8 bytes, no escaping and no line end.
std::string formatLogLine(const SYSTEMTIME& time, const std::string& message);

// Appends one time-stamped line to the installation log. Never fails outward: a log that
// cannot be written must not stop an installation.
void writeLog(const std::string& message) noexcept;

} // namespace qv
