#include "core/earlier_work_folders.h"

#include "core/held_folder.h"
#include "core/tree_removal.h"
#include "core/work_folder.h"

#include <cstddef>

namespace qv {
namespace {

bool isDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// Takes one or more decimal digits from the front of `text`.
bool takeDigits(std::wstring_view& text) {
    std::size_t count = 0;
    while (count < text.size() && isDigit(text[count])) {
        ++count;
    }
    text.remove_prefix(count);
    return count > 0;
}

bool takeDash(std::wstring_view& text) {
    if (text.empty() || text.front() != L'-') {
        return false;
    }
    text.remove_prefix(1);
    return true;
}

} // namespace

bool isWorkFolderName(std::wstring_view name) {
    const std::wstring_view prefix(kWorkFolderPrefix);
    name = withoutRandomSuffix(name);
    if (name.substr(0, prefix.size()) != prefix) {
        return false;
    }
    name.remove_prefix(prefix.size());
    return takeDigits(name) && takeDash(name) && takeDigits(name) && name.empty();
}

void removeEarlierWorkFolders(const HeldFolder& temp, std::wstring_view own) noexcept {
    if (!temp) {
        return;
    }
    // A folder, or a link listed as one; a file of such a name was never a run's.
    removeChildrenWhere(temp.handle(), [own](std::wstring_view name, DWORD attributes) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && isWorkFolderName(name) &&
               !samePathIgnoringCase(name, own);
    });
}

} // namespace qv
