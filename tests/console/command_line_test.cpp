#include "console/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace qv {
namespace {

TEST(HasFlag, WholeArgumentCaseInsensitiveNeverArgumentZero) {
    const struct {
        std::vector<const wchar_t*> argv;
        bool expected;
    } cases[] = {
        {{L"prog.exe", L"--self-test"}, true},
        {{L"prog.exe", L"a.zip", L"b.zip", L"--SELF-TEST"}, true},
        {{L"prog.exe", L"--Self-Test", L"x"}, true},
        {{L"--self-test"}, false}, // the program's own path is never looked at
        {{L"--self-test", L"--no-pause"}, false},
        {{L"prog.exe", L"--self-tests"}, false}, // no prefix matching
        {{L"prog.exe", L"--self"}, false},
        {{L"prog.exe", L"--self-test=1"}, false},
        {{L"prog.exe", L" --self-test"}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hasFlag(static_cast<int>(c.argv.size()), c.argv.data(), L"--self-test"),
                  c.expected)
            << (c.argv.size() > 1 ? c.argv[1] : c.argv[0]);
    }
}

} // namespace
} // namespace qv
