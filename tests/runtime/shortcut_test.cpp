#include "core/guards.h"
#include "core/scoped_folder.h"
#include "core/work_folder.h"
#include "shell/shortcut.h"

#include "support/failure_of.h"

#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <fstream>
#include <stdexcept>

namespace qv {
namespace {

namespace fs = std::filesystem;

struct LinkFields {
    std::wstring path;
    std::wstring workingDirectory;
    std::wstring description;
    std::wstring iconPath;
    int iconIndex = -1;
};

// Reads a link file back the way the Shell does when the link is opened.
LinkFields readLink(const fs::path& linkFile) {
    ComPtr<IShellLinkW> link;
    EXPECT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                               link.putVoid()),
              S_OK);
    ComPtr<IPersistFile> file;
    EXPECT_EQ(link.query(IID_IPersistFile, file), S_OK);
    EXPECT_EQ(file->Load(linkFile.c_str(), STGM_READ), S_OK);
    LinkFields fields;
    wchar_t buffer[MAX_PATH] = {};
    // The target through the link's item list, which keeps the path in UTF-16 (Wine's GetPath
    // answers from the link's ANSI copy of it).
    PIDLIST_ABSOLUTE items = nullptr;
    if (SUCCEEDED(link->GetIDList(&items)) && items != nullptr) {
        if (SHGetPathFromIDListW(items, buffer)) {
            fields.path = buffer;
        }
        CoTaskMemFree(items);
    }
    buffer[0] = 0;
    if (SUCCEEDED(link->GetWorkingDirectory(buffer, MAX_PATH))) {
        fields.workingDirectory = buffer;
    }
    buffer[0] = 0;
    if (SUCCEEDED(link->GetDescription(buffer, MAX_PATH))) {
        fields.description = buffer;
    }
    buffer[0] = 0;
    if (SUCCEEDED(link->GetIconLocation(buffer, MAX_PATH, &fields.iconIndex))) {
        fields.iconPath = buffer;
    }
    return fields;
}

class ShortcutTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        // A target in a folder of its own, with a name the Shell has to keep as UTF-16.
        fs::create_directories(work_.path() / L"Ứng dụng");
        std::ofstream(target_, std::ios::binary) << "MZ";
    }
    void TearDown() override { CoUninitialize(); }

    ScopedFolder work_{createWorkDirectory()};
    fs::path target_ = work_.path() / L"Ứng dụng" / L"Quorvalent.exe";
};

TEST_F(ShortcutTest, WritesTargetWorkingFolderIconAndDescription) {
    // The installer's current folder is elsewhere; the link must not pick it up.
    const fs::path previous = fs::current_path();
    fs::current_path(work_.path());
    ScopeExit restore([&] { fs::current_path(previous); });
    const fs::path linkFile = work_.path() / L"Quorvalent.lnk";
    createShortcut(target_, linkFile);

    ASSERT_TRUE(fs::is_regular_file(linkFile));
    const LinkFields fields = readLink(linkFile);
    EXPECT_EQ(fs::path(fields.path), target_);
    EXPECT_EQ(fs::path(fields.workingDirectory), target_.parent_path());
    EXPECT_EQ(fields.description, L"Mở Quorvalent");
    EXPECT_EQ(fs::path(fields.iconPath), target_);
    EXPECT_EQ(fields.iconIndex, 0);
}

TEST_F(ShortcutTest, SaveIntoMissingFolderRaisesWithHresultAndLeavesNoFile) {
    const fs::path linkFile = work_.path() / L"không có" / L"Quorvalent.lnk";
    const std::string message = test::failureOf([&] { createShortcut(target_, linkFile); });
    const std::string prefix = "Không ghi được shortcut (HRESULT 0x";
    ASSERT_EQ(message.rfind(prefix, 0), 0u) << message;
    const std::string hex = message.substr(prefix.size(), message.size() - prefix.size() - 1);
    EXPECT_EQ(message.back(), ')');
    EXPECT_EQ(hex.size(), 8u) << message; // a failure code has its top bit set
    EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos) << message;
    EXPECT_FALSE(fs::exists(linkFile));
    EXPECT_FALSE(fs::exists(linkFile.parent_path()));
}

} // namespace
} // namespace qv
