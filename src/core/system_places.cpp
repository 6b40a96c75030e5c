#include "core/system_places.h"

#include "core/errors.h"

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

namespace qv {

std::filesystem::path programPath() {
    constexpr DWORD capacity = 32768;
    std::vector<wchar_t> buffer(capacity, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr /* this program */, buffer.data(), capacity);
    check(length >= 1 && length < capacity, "Không đọc được đường dẫn chương trình.");
    return std::filesystem::path(std::wstring(buffer.data(), length));
}

std::filesystem::path specialFolderPath(int csidl) {
    wchar_t buffer[MAX_PATH] = {};
    const HRESULT result = ::SHGetFolderPathW(nullptr /* owner */, csidl | CSIDL_FLAG_CREATE,
                                              nullptr /* token */, SHGFP_TYPE_CURRENT, buffer);
    check(result >= 0, "Không đọc được thư mục hệ thống Windows.");
    return std::filesystem::path(std::wstring(buffer));
}

std::filesystem::path logFilePath() {
    return specialFolderPath(CSIDL_COMMON_APPDATA) / L"Quorvalent" / L"Installer-Native.log";
}

} // namespace qv
