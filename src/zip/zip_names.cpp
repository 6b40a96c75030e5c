#include "zip/zip_names.h"

#include "core/errors.h"

#include <windows.h>

#include <cstddef>
#include <stdexcept>

namespace qv {
namespace {

// The longest name one folder level may have on Windows, in UTF-16 code units.
constexpr std::size_t kLongestSegment = 255;

// Characters Windows does not allow in a file name; ':' is refused on its own, earlier.
bool isForbiddenCharacter(wchar_t c) {
    return c < 0x20 || c == 0x7F || c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' ||
           c == L'*';
}

// upper: upper-case ASCII. Only ASCII letters fold: Windows does not read a full-width "ＣＯＮ"
// as a device.
bool equalsIgnoringAsciiCase(std::wstring_view text, std::string_view upper) {
    if (text.size() != upper.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i] >= L'a' && text[i] <= L'z' ? text[i] - (L'a' - L'A') : text[i];
        if (c != static_cast<unsigned char>(upper[i])) {
            return false;
        }
    }
    return true;
}

// Windows opens these names as devices in every folder and whatever the extension: a file
// called "nul.txt" or "COM1" is never created, and an elevated process writes its bytes to the
// device instead.
bool isReservedDeviceName(std::wstring_view segment) {
    // Every such name starts with C, P, A, N or L: most segments are let go at once.
    const wchar_t first = segment.empty() ? L'\0' : static_cast<wchar_t>(segment[0] & ~0x20);
    if (first != L'C' && first != L'P' && first != L'A' && first != L'N' && first != L'L') {
        return false;
    }
    if (equalsIgnoringAsciiCase(segment, "CONIN$") || equalsIgnoringAsciiCase(segment, "CONOUT$")) {
        return true;
    }
    std::wstring_view stem = segment.substr(0, segment.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') {
        stem.remove_suffix(1);
    }
    if (stem.size() == 3) {
        return equalsIgnoringAsciiCase(stem, "CON") || equalsIgnoringAsciiCase(stem, "PRN") ||
               equalsIgnoringAsciiCase(stem, "AUX") || equalsIgnoringAsciiCase(stem, "NUL");
    }
    if (stem.size() == 4) {
        const wchar_t number = stem[3];
        // Superscript one, two and three count as port numbers too.
        const bool numbered = (number >= L'0' && number <= L'9') || number == L'\u00B9' ||
                              number == L'\u00B2' || number == L'\u00B3';
        return numbered && (equalsIgnoringAsciiCase(stem.substr(0, 3), "COM") ||
                            equalsIgnoringAsciiCase(stem.substr(0, 3), "LPT"));
    }
    return false;
}

// Empty segments (doubled or trailing separators) are harmless. "." and ".." end in a dot.
bool isSafeSegment(std::wstring_view segment) {
    return segment.empty() || (segment.back() != L'.' && segment.back() != L' ' &&
                               segment.size() <= kLongestSegment && !isReservedDeviceName(segment));
}

constexpr std::uint16_t kFlagUtf8Name = 0x0800;
constexpr std::uint16_t kUnicodePathField = 0x7075;
const char kUnsafeName[] = "Đã chặn đường dẫn không an toàn trong ZIP: ";

std::uint16_t readUint16(const unsigned char* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

// Finds the name an Info-ZIP Unicode Path extra field gives the entry (UTF-8, after the field's
// version byte and the CRC-32 of the header's name); false when the entry has none. Extractors
// that know the field take this name instead of the header's.
bool findUnicodePath(const std::string& extra, std::string& name) {
    std::size_t at = 0;
    while (extra.size() - at >= 4) {
        const auto* field = reinterpret_cast<const unsigned char*>(extra.data() + at);
        const std::size_t size = readUint16(field + 2);
        if (size > extra.size() - at - 4) {
            return false;
        }
        if (readUint16(field) == kUnicodePathField && size >= 5) {
            name.assign(extra, at + 4 + 5, size - 5);
            return true;
        }
        at += 4 + size;
    }
    return false;
}

bool hasByteAbove7F(const std::string& raw) {
    for (const char c : raw) {
        if (static_cast<unsigned char>(c) > 0x7F) {
            return true;
        }
    }
    return false;
}

[[noreturn]] void refuseName(const char* message, const std::wstring& name) {
    throw std::runtime_error(message + toUtf8(printableText(name)));
}

std::wstring nameText(const std::string& raw, unsigned codePage) {
    std::optional<std::wstring> text = toWide(raw, codePage);
    check(text.has_value(), "Không chuyển đổi được tên file trong ZIP.");
    return std::move(*text);
}

} // namespace

NameCodePages systemCodePages() {
    return {::GetACP(), ::GetOEMCP()};
}

std::wstring readEntryName(const std::string& raw, std::uint16_t flags, const std::string& extra,
                           const NameCodePages& pages) {
    const bool utf8 = (flags & kFlagUtf8Name) != 0;
    std::wstring name = nameText(raw, utf8 ? CP_UTF8 : pages.ansi);
    if (!isSafeZipName(name)) {
        refuseName(kUnsafeName, name);
    }
    // Such a name reads one way here and is written another way by the Shell, so the tree it
    // unpacks could never be held against the name checked here.
    if (!utf8 && pages.ansi != pages.oem && hasByteAbove7F(raw)) {
        refuseName("Tên file trong ZIP không rõ bảng mã: ", name);
    }
    std::string unicodeName;
    if (findUnicodePath(extra, unicodeName)) {
        const std::wstring other = nameText(unicodeName, CP_UTF8);
        if (other != name) {
            refuseName(kUnsafeName, other);
        }
    }
    return name;
}

bool isSafeZipName(std::wstring_view name) {
    // One pass: both separators end a segment, as if every slash had become a backslash.
    if (name.empty() || name.front() == L'/' || name.front() == L'\\') {
        return false;
    }
    std::size_t segmentStart = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        const wchar_t c = i < name.size() ? name[i] : L'\\';
        if (c == L'/' || c == L'\\') {
            if (!isSafeSegment(name.substr(segmentStart, i - segmentStart))) {
                return false;
            }
            segmentStart = i + 1;
        } else if (c == L':' || isForbiddenCharacter(c)) {
            return false;
        }
    }
    return true;
}

bool isSafeZipPath(std::wstring name) {
    return isSafeZipName(name);
}

bool isDirectoryName(std::wstring_view name) {
    return !name.empty() && (name.back() == L'/' || name.back() == L'\\');
}

std::wstring windowsNameKey(std::wstring_view name) {
    std::wstring key;
    key.reserve(name.size());
    bool ascii = true;
    for (wchar_t c : name) {
        if (c == L'/' || c == L'\\') {
            if (key.empty() || key.back() == L'\\') {
                continue;
            }
            c = L'\\';
        } else if (c >= L'a' && c <= L'z') {
            c -= L'a' - L'A';
        }
        ascii = ascii && c < 0x80;
        key += c;
    }
    if (!key.empty() && key.back() == L'\\') {
        key.pop_back();
    }
    if (!ascii) {
        // Without LCMAP_LINGUISTIC_CASING: the file system's table, no change of length.
        const std::wstring source = key;
        const auto length = static_cast<int>(key.size());
        check(::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, source.data(), length,
                              key.data(), length, nullptr /* version */, nullptr /* reserved */,
                              0 /* reserved */) == length,
              "Không chuyển đổi được tên file trong ZIP.");
    }
    return key;
}

} // namespace qv
