#include "core/scoped_folder.h"
#include "core/work_folder.h"
#include "flows/package_flow.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>

namespace qv {
namespace {

namespace fs = std::filesystem;

TEST(MainProgramCheck, OnlyARegularFilePasses) {
    const ScopedFolder folder(createWorkDirectory());
    std::ofstream(folder.path() / L"file.exe") << "MZ";
    fs::create_directories(folder.path() / L"folder.exe");

    const struct {
        const wchar_t* name;
        bool accepted;
    } cases[] = {
        {L"file.exe", true},
        {L"FILE.EXE", true}, // the volume ignores letter case
        {L"missing.exe", false},
        {L"folder.exe", false},
    };
    for (const auto& c : cases) {
        std::string message = "accepted";
        try {
            requireMainProgram(folder.path() / c.name, "no program here.");
        } catch (const std::runtime_error& error) {
            message = error.what();
        }
        EXPECT_EQ(message, c.accepted ? "accepted" : "no program here.")
            << fs::path(c.name).string();
    }
}

} // namespace
} // namespace qv
