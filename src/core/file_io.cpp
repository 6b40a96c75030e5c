#include "core/file_io.h"

#include <algorithm>

namespace qv {
namespace {

// One ReadFile or WriteFile moves at most this much.
constexpr std::size_t kPiece = 1u << 20;

UniqueCreatedFile openFile(const std::wstring& path, DWORD access, DWORD disposition) {
    return UniqueCreatedFile(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr /* default security */, disposition,
                                           FILE_ATTRIBUTE_NORMAL, nullptr /* no template */));
}

} // namespace

UniqueCreatedFile openFileForReading(const std::wstring& path) {
    return openFile(path, GENERIC_READ, OPEN_EXISTING);
}

std::optional<std::uint64_t> fileSizeOf(HANDLE file) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size) || size.QuadPart < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

bool readExactlyAt(HANDLE file, std::uint64_t offset, void* into, std::size_t count) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) {
        return false;
    }
    auto* bytes = static_cast<char*>(into);
    while (count > 0) {
        const auto piece = static_cast<DWORD>(std::min(count, kPiece));
        DWORD got = 0;
        if (!::ReadFile(file, bytes, piece, &got, nullptr /* synchronous */) || got == 0) {
            return false;
        }
        bytes += got;
        count -= got;
    }
    return true;
}

std::optional<std::string> readWholeFile(const std::wstring& path) {
    const UniqueCreatedFile file = openFileForReading(path);
    if (!file) {
        return std::nullopt;
    }
    std::string content;
    char piece[64 * 1024];
    DWORD got = 0;
    do {
        if (!::ReadFile(file.get(), piece, sizeof piece, &got, nullptr /* synchronous */)) {
            return std::nullopt;
        }
        content.append(piece, got);
    } while (got != 0);
    return content;
}

bool writeWholeFile(const std::wstring& path, std::string_view bytes) {
    const UniqueCreatedFile file = openFile(path, GENERIC_WRITE, CREATE_ALWAYS);
    if (!file) {
        return false;
    }
    while (!bytes.empty()) {
        const auto piece = static_cast<DWORD>(std::min(bytes.size(), kPiece));
        DWORD written = 0;
        if (!::WriteFile(file.get(), bytes.data(), piece, &written, nullptr /* synchronous */) ||
            written == 0) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

} // namespace qv
