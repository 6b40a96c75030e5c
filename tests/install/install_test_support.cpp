#include "install_test_support.h"

#include "install/install_files.h"
#include "support/test_files.h"

#include <algorithm>
#include <stdexcept>

namespace qv::test {

namespace fs = std::filesystem;

const std::wstring kListing = L"    [Quorvalent] Đang lập danh sách tệp cần cài...\n";

std::wstring installed(const fs::path& source, const fs::path& destination) {
    ConsoleCapture console;
    installFiles(source, destination, L"Quorvalent");
    return console.out();
}

std::string installFailure(const fs::path& source, const fs::path& destination) {
    ConsoleCapture console;
    try {
        installFiles(source, destination, L"Quorvalent");
    } catch (const std::exception& error) {
        return error.what();
    }
    return "<no exception>";
}

std::map<std::wstring, std::string> snapshot(const fs::path& root) {
    std::map<std::wstring, std::string> tree;
    std::error_code missing;
    for (const auto& entry : fs::recursive_directory_iterator(root, missing)) {
        tree[entry.path().lexically_relative(root).wstring()] =
            entry.is_directory() ? "<folder>" : readFile(entry.path());
    }
    return tree;
}

std::vector<std::wstring> namesIn(const fs::path& folder) {
    std::vector<std::wstring> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().wstring());
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace qv::test
