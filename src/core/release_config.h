#pragma once
// Fixed release locations and names of the application and its prerequisite runtime: read by
// every layer that downloads, installs or checks, so it lives at the bottom.

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
} // namespace runtime

inline std::wstring applicationPackageUrl() {
    return releaseAssetUrl(kApplicationPackageFile);
}
inline std::wstring runtimePackageUrl() {
    return releaseAssetUrl(runtime::kPackageFile);
}

} // namespace qv
