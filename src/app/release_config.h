#pragma once
// Fixed release locations, names and texts of the application and its prerequisite runtime.

#include "build_config.h"

#include <string>

namespace qv {

inline const wchar_t kInstallFolder[] = L"C:\\Quorvalent\\Start";

// The release's file of that name; the asset name is also the package's name on disk.
inline std::wstring releaseAssetUrl(const wchar_t* fileName) {
    return std::wstring(kReleaseBase) + L"/Quorvalent-Updates/releases/download/update/" + fileName;
}

inline const wchar_t kApplicationPackageFile[] = L"Quorvalent-update.zip";

namespace runtime {
inline const wchar_t kDetectionPath32[] =
    L"C:\\Program Files (x86)\\Quorvalent Runtime\\QuorvalentRuntime.exe";
inline const wchar_t kDetectionPath64[] =
    L"C:\\Program Files\\Quorvalent Runtime\\QuorvalentRuntime.exe";
inline const wchar_t kPackageFile[] = L"QuorvalentRuntime.zip";
inline const wchar_t kExtractionFolder[] = L"QuorvalentRuntime";
inline const wchar_t kSetupFile[] = L"QuorvalentRuntimeSetup.exe";
inline const wchar_t kTag[] = L"Runtime";
inline const wchar_t kCheckTitle[] = L"Kiểm tra Quorvalent Runtime";
inline const wchar_t kDownloadTitle[] = L"Tải và xác minh gói Quorvalent Runtime";
inline const wchar_t kRunTitle[] = L"Giải nén và chạy trình cài đặt Quorvalent Runtime";
inline const wchar_t kPresentLine[] = L"    [Runtime] Quorvalent Runtime đã được cài đặt.\n";
inline const wchar_t kMissingLine[] =
    L"    [Runtime] Chưa có Quorvalent Runtime, sẽ tải và cài đặt.\n";
inline const wchar_t kOpeningLine[] =
    L"    [Runtime] Đang mở trình cài đặt Quorvalent Runtime...\n";
inline const wchar_t kWaitingText[] = L"Đang chờ trình cài đặt đóng... ";
inline const wchar_t kClosedText[] = L"Trình cài đặt Quorvalent Runtime đã đóng.";
inline const char kLaunchFailurePrefix[] = "Không mở được trình cài đặt Quorvalent Runtime: ";
inline const char kMissingSetupMessage[] =
    "Gói Quorvalent Runtime không chứa QuorvalentRuntimeSetup.exe.";
} // namespace runtime

inline std::wstring applicationPackageUrl() {
    return releaseAssetUrl(kApplicationPackageFile);
}
inline std::wstring runtimePackageUrl() {
    return releaseAssetUrl(runtime::kPackageFile);
}

} // namespace qv
