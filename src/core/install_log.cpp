#include "core/install_log.h"

#include "core/run_context.h"

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>

namespace qv {

std::string formatLogLine(const SYSTEMTIME& time, const std::string& message) {
    std::ostringstream line;
    line.fill('0');
    line << std::setw(4) << time.wYear << '-' << std::setw(2) << time.wMonth << '-' << std::setw(2)
         << time.wDay << ' ' << std::setw(2) << time.wHour << ':' << std::setw(2) << time.wMinute
         << ':' << std::setw(2) << time.wSecond << ' ' << message;
    return line.str();
}

void writeLog(const std::string& message) noexcept {
    try {
        const std::filesystem::path path = logFilePath();
        std::filesystem::create_directories(path.parent_path());
        SYSTEMTIME now{};
        ::GetLocalTime(&now);
        // Text mode: the line feed becomes CR LF on disk.
        std::ofstream log(path, std::ios::out | std::ios::app);
        log << formatLogLine(now, message) << '\n';
    } catch (...) {
        // Logging is best effort by design.
    }
}

} // namespace qv
