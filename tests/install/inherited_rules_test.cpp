#include "core/errors.h"
#include "core/work_folder.h"
#include "install/inherited_security.h"
#include "install_test_support.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <string>
#include <vector>

namespace qv::test {
namespace {

namespace fs = std::filesystem;

std::wstring rulesText(PSECURITY_DESCRIPTOR descriptor) {
    wchar_t* text = nullptr;
    if (descriptor == nullptr ||
        !::ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return L"<none>";
    }
    const std::wstring result(text);
    ::LocalFree(text);
    return result;
}

SecurityDescriptor descriptorOf(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR built = nullptr;
    EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        sddl.c_str(), SDDL_REVISION_1, &built, nullptr));
    const auto* bytes = static_cast<const std::byte*>(built);
    SecurityDescriptor copy(bytes, bytes + ::GetSecurityDescriptorLength(built));
    ::LocalFree(built);
    return copy;
}

// Entries with a condition (XA, XD) are beyond Wine's SDDL: written as A and D for it, each
// carries this condition, which must come through whole.
const std::string kCondition("artx\xfb\x0c\0\0\0", 8);

// Where each entry of the SDDL text starts.
std::vector<std::size_t> entryStarts(const std::wstring& sddl) {
    std::vector<std::size_t> starts;
    for (std::size_t at = sddl.find(L'('); at != std::wstring::npos;
         at = sddl.find(L'(', sddl.find(L')', at))) {
        starts.push_back(at);
    }
    return starts;
}

// The descriptor with each of its rules' entries (as bytes, with its index) changed by `change`.
template <typename Change> SecurityDescriptor withEntries(SecurityDescriptor from, Change change) {
    PACL rules = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    ::GetSecurityDescriptorDacl(from.data(), &present, &rules, &defaulted);
    std::string entries;
    for (DWORD index = 0; rules != nullptr && index < rules->AceCount; ++index) {
        ACE_HEADER* header = nullptr;
        ::GetAce(rules, index, reinterpret_cast<void**>(&header));
        std::string entry(reinterpret_cast<const char*>(header), header->AceSize);
        change(entry, index);
        reinterpret_cast<ACE_HEADER*>(entry.data())->AceSize = static_cast<WORD>(entry.size());
        entries += entry;
    }
    std::vector<std::byte> acl(sizeof(ACL) + entries.size());
    auto* changed = reinterpret_cast<ACL*>(acl.data());
    ::InitializeAcl(changed, static_cast<DWORD>(acl.size()), ACL_REVISION);
    ::AddAce(changed, ACL_REVISION, 0, entries.data(), static_cast<DWORD>(entries.size()));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(from.data(), &control, &revision);
    SECURITY_DESCRIPTOR absolute;
    ::InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&absolute, TRUE, changed, FALSE);
    const SECURITY_DESCRIPTOR_CONTROL kept = SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED;
    ::SetSecurityDescriptorControl(&absolute, kept, control & kept);
    DWORD size = 0;
    ::MakeSelfRelativeSD(&absolute, nullptr, &size);
    SecurityDescriptor result(size);
    ::MakeSelfRelativeSD(&absolute, result.data(), &size);
    return result;
}

SecurityDescriptor conditionalDescriptorOf(std::wstring sddl) {
    std::vector<DWORD> marked;
    const std::vector<std::size_t> starts = entryStarts(sddl);
    for (std::size_t index = starts.size(); index-- > 0;) {
        if (sddl[starts[index] + 1] == L'X') {
            sddl.erase(starts[index] + 1, 1);
            marked.push_back(static_cast<DWORD>(index));
        }
    }
    return withEntries(descriptorOf(sddl), [&](std::string& entry, DWORD index) {
        if (std::find(marked.begin(), marked.end(), index) != marked.end()) {
            entry[0] = static_cast<char>(entry[0] + ACCESS_ALLOWED_CALLBACK_ACE_TYPE);
            entry += kCondition;
        }
    });
}

std::wstring conditionalRulesText(const SecurityDescriptor& descriptor) {
    if (descriptor.empty()) {
        return L"<none>";
    }
    std::vector<DWORD> marked;
    bool lost = false;
    SecurityDescriptor plain = withEntries(descriptor, [&](std::string& entry, DWORD index) {
        if (entry[0] == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
            entry[0] == ACCESS_DENIED_CALLBACK_ACE_TYPE) {
            const std::size_t sidEnd = 8 + ::GetLengthSid(entry.data() + 8);
            lost = lost || entry.substr(sidEnd) != kCondition;
            entry[0] = static_cast<char>(entry[0] - ACCESS_ALLOWED_CALLBACK_ACE_TYPE);
            entry.resize(sidEnd);
            marked.push_back(index);
        }
    });
    std::wstring text = rulesText(plain.data());
    const std::vector<std::size_t> starts = entryStarts(text);
    for (auto index = marked.rbegin(); index != marked.rend(); ++index) {
        text.insert(starts[*index] + 1, L"X");
    }
    return lost ? L"<condition lost>" : text;
}

// The rules of what is at the path, as GetSecurityInfo reads them.
std::wstring rulesAt(const fs::path& path) {
    const HANDLE opened = ::CreateFileW(
        path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    PSECURITY_DESCRIPTOR read = nullptr;
    ::GetSecurityInfo(opened, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                      nullptr, &read);
    ::CloseHandle(opened);
    const std::wstring text = rulesText(read);
    ::LocalFree(read);
    return text;
}

// What the process token says of `kind`, in a buffer that holds it.
std::vector<std::byte> tokenInformation(TOKEN_INFORMATION_CLASS kind) {
    HANDLE token = nullptr;
    ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
    std::vector<std::byte> information(1024);
    DWORD size = 0;
    ::GetTokenInformation(token, kind, information.data(), 1024, &size);
    ::CloseHandle(token);
    return information;
}

std::wstring processOwner() {
    std::vector<std::byte> owner = tokenInformation(TokenOwner);
    wchar_t* text = nullptr;
    ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_OWNER*>(owner.data())->Owner, &text);
    const std::wstring result(text);
    ::LocalFree(text);
    return result;
}

std::vector<std::byte> sidOf(const std::wstring& text) {
    PSID sid = nullptr;
    EXPECT_TRUE(::ConvertStringSidToSidW(text.c_str(), &sid));
    const auto* bytes = static_cast<const std::byte*>(sid);
    std::vector<std::byte> copy(bytes, bytes + ::GetLengthSid(sid));
    ::LocalFree(sid);
    return copy;
}

const ACL* daclOf(const SecurityDescriptor& descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL rules = nullptr;
    ::GetSecurityDescriptorDacl(const_cast<std::byte*>(descriptor.data()), &present, &rules,
                                &defaulted);
    return rules;
}

// The process token's default rules as a new file gets them: Wine's give GENERIC_ALL only.
std::wstring processDefaultRules() {
    std::vector<std::byte> rules = tokenInformation(TokenDefaultDacl);
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(
        &descriptor, TRUE, reinterpret_cast<TOKEN_DEFAULT_DACL*>(rules.data())->DefaultDacl, FALSE);
    std::wstring text = rulesText(&descriptor);
    for (std::size_t at = text.find(L";GA;"); at != std::wstring::npos; at = text.find(L";GA;")) {
        text.replace(at, 4, L";FA;");
    }
    return text;
}

// New files are written in the run's folder, whose rules let only SYSTEM and Administrators in:
// each is made with what its target folder passes on, as if it had been created there.
TEST(InstallFiles, ANewFileGetsTheRulesItsTargetFolderPassesOn) {
    const std::wstring owner = processOwner();
    Creator creator{sidOf(owner), sidOf(L"BU"), {}};
    const SecurityDescriptor defaults = descriptorOf(L"D:(A;;GA;;;SY)(A;;GA;;;BA)");
    const ACL* defaultRules = daclOf(defaults);
    creator.defaultRules.assign(reinterpret_cast<const std::byte*>(defaultRules),
                                reinterpret_cast<const std::byte*>(defaultRules) +
                                    defaultRules->AclSize);
    // Where the folder passes nothing on, the creator's default rules, generic rights mapped.
    const std::wstring byDefault = L"D:(A;;FA;;;SY)(A;;FA;;;BA)";
    const struct {
        std::wstring folder; // the target folder's rules
        std::wstring file;   // what a new file in it gets
        std::wstring below;  // what a new folder in it gets
    } cases[] = {
        {L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)",
         L"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)",
         L"D:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)"},
        // Only some entries pass on, some only to files, some no further than one level.
        {L"D:P(A;;FA;;;WD)(A;OI;FR;;;BU)(A;CI;FA;;;BA)(D;OICINP;FW;;;AU)",
         L"D:AI(A;ID;FR;;;BU)(D;ID;FW;;;AU)",
         L"D:AI(A;OIIOID;FR;;;BU)(A;CIID;FA;;;BA)(D;ID;FW;;;AU)"},
        // CREATOR OWNER and generic rights: the owner's, mapped to a file's rights.
        {L"D:P(A;OICIIO;GA;;;CO)(A;OICI;GR;;;BU)", L"D:AI(A;ID;FA;;;" + owner + L")(A;ID;FR;;;BU)",
         L"D:AI(A;ID;FA;;;" + owner + L")(A;OICIIOID;GA;;;CO)(A;ID;FR;;;BU)(A;OICIIOID;GR;;;BU)"},
        // Nothing for files: only entries for this folder and for folders below.
        {L"D:P(A;;FA;;;WD)(A;CI;FA;;;BA)", byDefault, L"D:AI(A;CIID;FA;;;BA)"},
        {L"D:P(A;;FA;;;WD)", byDefault, byDefault},
        // Entries with a condition, allowed and denied, inherit as plain ones do, the
        // condition kept (also where CREATOR OWNER gives way to the owner).
        {L"D:P(XA;OICI;FA;;;BU)(XD;OI;FW;;;WD)(XA;OICIIO;GA;;;CO)",
         L"D:AI(XA;ID;FA;;;BU)(XD;ID;FW;;;WD)(XA;ID;FA;;;" + owner + L")",
         L"D:AI(XA;OICIID;FA;;;BU)(XD;OIIOID;FW;;;WD)(XA;ID;FA;;;" + owner +
             L")(XA;OICIIOID;GA;;;CO)"},
    };
    SecurityDescriptor fromRunFolder;
    ASSERT_EQ(inheritedSecurity(descriptorOf(kWorkFolderSddl), false, fromRunFolder), 0u);
    for (const auto& c : cases) {
        SCOPED_TRACE(toUtf8(c.folder));
        SecurityDescriptor file;
        SecurityDescriptor below;
        const SecurityDescriptor folderRules = conditionalDescriptorOf(c.folder);
        ASSERT_EQ(inheritedSecurity(folderRules, false, creator, file), 0u);
        ASSERT_EQ(inheritedSecurity(folderRules, true, creator, below), 0u);
        EXPECT_EQ(conditionalRulesText(file), c.file);
        EXPECT_EQ(conditionalRulesText(below), c.below);
        EXPECT_NE(rulesText(file.data()), rulesText(fromRunFolder.data()));
        // Made by this process: its owner, and its token's default rules.
        SecurityDescriptor byProcess;
        ASSERT_EQ(inheritedSecurity(folderRules, false, byProcess), 0u);
        EXPECT_EQ(conditionalRulesText(byProcess),
                  c.file == byDefault ? processDefaultRules() : c.file);

        // Placed by the update, a file reads back as one made with the rules its folder, as
        // read back, passes on. (Wine keeps a file's or folder's rules only as far as its Unix
        // mode can tell them: there the folder reads back with rules of its mode, and what can
        // be seen is only that each file carries the rules made from those, and Wine refuses
        // entries with a condition.)
        test::TempFolder folder;
        const SecurityDescriptor plainRules =
            withEntries(folderRules, [](std::string& entry, DWORD) {
                entry[0] = static_cast<char>(entry[0] % ACCESS_ALLOWED_CALLBACK_ACE_TYPE);
                entry.resize(8 + ::GetLengthSid(entry.data() + 8));
            });
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptorOrNone(plainRules), FALSE};
        ASSERT_TRUE(::CreateDirectoryW((folder / L"dst").c_str(), &attributes));
        writeFile(folder / L"src" / L"a.txt", "a");
        writeFile(folder / L"src" / L"sub" / L"b.txt", "b");
        installed(folder / L"src", folder / L"dst");
        const HANDLE target = ::CreateFileW((folder / L"dst").c_str(), FILE_LIST_DIRECTORY,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        SecurityDescriptor readBack;
        EXPECT_EQ(readFolderSecurity(target, readBack), 0u);
        ::CloseHandle(target);
        SecurityDescriptor topFile;
        SecurityDescriptor subFolder;
        SecurityDescriptor belowFile;
        ASSERT_EQ(inheritedSecurity(readBack, false, topFile), 0u);
        ASSERT_EQ(inheritedSecurity(readBack, true, subFolder), 0u);
        ASSERT_EQ(inheritedSecurity(subFolder, false, belowFile), 0u);
        for (const auto& [made, rules] : {std::pair{folder / L"a-made.txt", &topFile},
                                          std::pair{folder / L"b-made.txt", &belowFile}}) {
            attributes.lpSecurityDescriptor = descriptorOrNone(*rules);
            ::CloseHandle(::CreateFileW(made.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        }
        EXPECT_EQ(rulesAt(folder / L"dst" / L"a.txt"), rulesAt(folder / L"a-made.txt"));
        EXPECT_EQ(rulesAt(folder / L"dst" / L"sub" / L"b.txt"), rulesAt(folder / L"b-made.txt"));
    }
}

} // namespace
} // namespace qv::test
