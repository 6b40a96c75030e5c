#include "core/run_context.h"

#include "core/errors.h"
#include "core/guards.h"

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include <system_error>
#include <vector>

namespace qv {

std::wstring workDirectoryName(unsigned long processId, unsigned long long tickCount) {
    return L"QuorvalentInstallerNative-" + std::to_wstring(processId) + L"-" +
           std::to_wstring(tickCount);
}

const wchar_t kWorkFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

UniqueLocalMemory workFolderSecurityDescriptor() {
    PSECURITY_DESCRIPTOR built = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kWorkFolderSddl, SDDL_REVISION_1,
                                                                &built, nullptr /* size */)) {
        return UniqueLocalMemory();
    }
    return UniqueLocalMemory(built);
}

namespace {

bool createProtectedFolder(const std::filesystem::path& folder) {
    const UniqueLocalMemory descriptor = workFolderSecurityDescriptor();
    if (!descriptor) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor.get();
    attributes.bInheritHandle = FALSE;
    // Fails with ERROR_ALREADY_EXISTS for a folder, file or link of that name: only a folder
    // made here, with these rules from its first moment, is trusted.
    return ::CreateDirectoryW(folder.c_str(), &attributes) != FALSE;
}

} // namespace

void createWorkDirectoryAt(const std::filesystem::path& folder) {
    // TEMP itself may be missing; it is the user's folder and keeps its own rules.
    std::error_code error;
    std::filesystem::create_directories(folder.parent_path(), error);
    check(!error && createProtectedFolder(folder), "Không tạo được thư mục làm việc.");
}

std::filesystem::path createWorkDirectory() {
    wchar_t temp[MAX_PATH] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH, temp);
    check(length >= 1 && length < MAX_PATH, "Không đọc được thư mục TEMP.");

    const unsigned long long ticks = ::GetTickCount64();
    const unsigned long processId = ::GetCurrentProcessId();
    const std::filesystem::path folder =
        std::filesystem::path(std::wstring(temp, length)) / workDirectoryName(processId, ticks);

    createWorkDirectoryAt(folder);
    return folder;
}

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
