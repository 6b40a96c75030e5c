#include "console/console_output.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>

namespace qv {
namespace {

TEST(FormatByteSize, UnitsAndRounding) {
    const struct {
        std::uint64_t bytes;
        const wchar_t* text;
    } cases[] = {
        {0, L"0 B"},
        {1023, L"1023 B"},
        {1024, L"1.00 KB"},
        {1536, L"1.50 KB"},
        {1048575, L"1024.00 KB"}, // rounds up but stays in its unit
        {1048576, L"1.00 MB"},
        {5368709120ULL, L"5.00 GB"},
        {1ULL << 40, L"1024.00 GB"}, // no unit above GB
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatByteSize(c.bytes), c.text) << c.bytes;
    }
}

TEST(FormatByteSize, KeepsThePointUnderACommaLocale) {
    const char* changed = std::setlocale(LC_ALL, "French_France.1252");
    EXPECT_EQ(formatByteSize(1536), L"1.50 KB");
    std::setlocale(LC_ALL, "C");
    if (changed == nullptr) {
        GTEST_SKIP() << "no French locale in this environment";
    }
}

TEST(FormatPercent, WidthThree) {
    EXPECT_EQ(formatPercent(0), L"  0");
    EXPECT_EQ(formatPercent(5), L"  5");
    EXPECT_EQ(formatPercent(42), L" 42");
    EXPECT_EQ(formatPercent(100), L"100");
}

TEST(LinePrefixes, StatusAndProgress) {
    EXPECT_EQ(statusPrefix(L"Quorvalent"), L"    [Quorvalent] ");
    EXPECT_EQ(progressPrefix(L"Self-test"), L"\r    [Self-test] ");
}

} // namespace
} // namespace qv
