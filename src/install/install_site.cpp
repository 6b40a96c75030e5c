#include "install/install_site.h"

#include "core/errors.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <system_error>

namespace qv {

namespace fs = std::filesystem;

namespace {

// The folder that is there, held without the right to delete it (a program running from it,
// with it as its current folder, must not stop the update), or a new one.
HoldResult holdOrCreate(const HeldFolder& parent, const std::wstring& name, bool& made) {
    HoldResult existing = holdExistingChildFolder(parent, name);
    made = existing.status == HoldStatus::Missing;
    return made ? holdChildFolderWithoutDelete(parent, name, HoldMode::CreateNew)
                : std::move(existing);
}

} // namespace

HeldFolder requireHeld(HoldResult held, const fs::path& path, const std::string& failure) {
    if (held.status == HoldStatus::Held) {
        return std::move(held.folder);
    }
    if (held.status == HoldStatus::NotAPlainFolder || held.status == HoldStatus::Exists) {
        throwUnsafeFolder(path);
    }
    throw std::runtime_error(failure);
}

void throwUnsafeFolder(const fs::path& path) {
    throw std::runtime_error("Thư mục cài đặt không an toàn: " +
                             toUtf8(printableText(path.wstring())));
}

InstallSite holdInstallSite(const fs::path& destination, const std::string& creationFailure) {
    std::error_code error;
    fs::path folder = fs::absolute(destination, error).lexically_normal();
    if (!folder.has_filename()) {
        folder = folder.parent_path();
    }
    check(!error && folder.has_filename(), creationFailure);
    const fs::path parent = folder.parent_path();

    InstallSite site;
    if (parent.has_relative_path()) {
        // Above the parent the run checks nothing and takes what is there as the system
        // resolves it, making what is missing; a base that cannot be held is a failure to
        // create, not a link found.
        HoldResult held = holdFolderMadeAt(parent.parent_path());
        check(held.status == HoldStatus::Held, creationFailure);
        site.base = std::move(held.folder);
        site.parent =
            requireHeld(holdOrCreate(site.base, parent.filename().wstring(), site.parentMade),
                        parent, creationFailure);
    } else {
        HoldResult held = holdFolderAt(parent);
        check(held.status == HoldStatus::Held, creationFailure);
        site.parent = std::move(held.folder);
    }
    site.name = folder.filename().wstring();
    site.shown = folder;
    site.destination = requireHeld(holdOrCreate(site.parent, site.name, site.destinationMade),
                                   folder, creationFailure);
    return site;
}

bool reachedByName(HANDLE entry, const std::wstring& folderFinalPath, std::wstring_view name) {
    return isAtPath(entry, joinedPath(folderFinalPath, name));
}

bool reachedByName(const std::wstring& entryFinalPath, const std::wstring& folderFinalPath,
                   std::wstring_view name) {
    return samePathIgnoringCase(entryFinalPath, joinedPath(folderFinalPath, name));
}

} // namespace qv
