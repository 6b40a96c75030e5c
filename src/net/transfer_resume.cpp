#include "net/transfer_resume.h"

#include <cstdint>

namespace qv {
namespace {

// Digits from text[at] up to the first character in stops (or the end); nothing when there
// are none, or another character comes first, or they do not fit in 64 bits.
std::optional<std::uint64_t> numberAt(const std::wstring& text, std::size_t& at, wchar_t stop) {
    const std::size_t end = stop == L'\0' ? text.size() : text.find(stop, at);
    if (end == std::wstring::npos) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> value = parseByteCount(text.substr(at, end - at));
    at = end + 1;
    return value;
}

} // namespace

std::wstring resumeValidator(const std::optional<std::wstring>& etag,
                             const std::optional<std::wstring>& lastModified) {
    if (etag) {
        const bool strong = etag->size() >= 2 && etag->front() == L'"' && etag->back() == L'"';
        return strong ? *etag : std::wstring();
    }
    return lastModified ? *lastModified : std::wstring();
}

std::wstring resumeRequestHeaders(const ResumePoint& point) {
    return L"Range: bytes=" + std::to_wstring(point.received) + L"-\r\nIf-Range: " +
           point.validator;
}

bool continuesResumePoint(const std::wstring& contentRange, const ResumePoint& point) {
    const std::wstring unit = L"bytes ";
    if (contentRange.compare(0, unit.size(), unit) != 0) {
        return false;
    }
    std::size_t at = unit.size();
    const std::optional<std::uint64_t> first = numberAt(contentRange, at, L'-');
    const std::optional<std::uint64_t> last = first ? numberAt(contentRange, at, L'/') : first;
    const std::optional<std::uint64_t> total = last ? numberAt(contentRange, at, L'\0') : last;
    return total && *first == point.received && *total == point.total && *last + 1 == point.total;
}

std::optional<std::uint64_t> parseByteCount(const std::wstring& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const wchar_t c : text) {
        const unsigned digit = static_cast<unsigned>(c - L'0');
        if (digit > 9 || value > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

} // namespace qv
