#include "core/folder_listing.h"

#include <string_view>

namespace qv {

FolderListing listFolderEntries(HANDLE folder) {
    FolderListing listing;
    constexpr DWORD kBufferBytes = 64 * 1024;
    std::vector<std::uint64_t> buffer(kBufferBytes / sizeof(std::uint64_t)); // 8-byte aligned
    // The first read asks for the listing from its start; the next ones go on from there.
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (::GetFileInformationByHandleEx(folder, kind, buffer.data(), kBufferBytes)) {
        kind = FileIdBothDirectoryInfo;
        const auto* record = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(record);
            const std::wstring_view name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                listing.entries.push_back({std::wstring(name), info->FileAttributes,
                                           static_cast<std::uint64_t>(info->EndOfFile.QuadPart)});
            }
            if (info->NextEntryOffset == 0) {
                break;
            }
            record += info->NextEntryOffset;
        }
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        listing.error = error;
    }
    return listing;
}

} // namespace qv
