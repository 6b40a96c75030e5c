#include "shell/shortcut.h"

#include "core/errors.h"
#include "core/guards.h"

#include <objidl.h>
#include <shlobj.h>

namespace qv {

void createShortcut(const std::filesystem::path& target, const std::filesystem::path& linkFile) {
    // Guards end in reverse order: the persist-file interface is released before the link.
    ComPtr<IShellLinkW> link;
    checkHr(::CoCreateInstance(CLSID_ShellLink, nullptr /* no outer object */, CLSCTX_INPROC_SERVER,
                               IID_IShellLinkW, link.putVoid()),
            "Không tạo được Shell Link");
    checkHr(link->SetPath(target.c_str()), "Không đặt được đường dẫn shortcut");
    checkHr(link->SetWorkingDirectory(target.parent_path().c_str()),
            "Không đặt được thư mục làm việc shortcut");
    // The icon and the description are cosmetic: a link without them still starts the program.
    link->SetIconLocation(target.c_str(), 0 /* first icon */);
    link->SetDescription(L"Mở Quorvalent");

    ComPtr<IPersistFile> file;
    checkHr(link.query(IID_IPersistFile, file), "Không lưu được shortcut");
    checkHr(file->Save(linkFile.c_str(), FALSE /* keep the link object unbound to the file */),
            "Không ghi được shortcut");
}

} // namespace qv
