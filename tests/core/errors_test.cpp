#include "core/errors.h"

#include "support/failure_of.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>

namespace qv {
namespace {

using test::failureOf;

TEST(TextConversion, RoundTripsVietnameseAndEmpty) {
    EXPECT_EQ(toUtf8(L""), "");
    EXPECT_EQ(toUtf8(L"Tải xong"), "T\xe1\xba\xa3i xong");
    EXPECT_EQ(toUtf8(L"Tải xong").size(), 10u);
    EXPECT_EQ(toWide("T\xe1\xba\xa3i xong", CP_UTF8), L"Tải xong");
    EXPECT_EQ(toWide("", CP_UTF8), L"");
}

TEST(TextConversion, InvalidUtf8FallsBackToAnsiCodePage) {
    if (::GetACP() != 1252) {
        GTEST_SKIP() << "the expected text is that of Windows-1252, the ANSI code page here is "
                     << ::GetACP();
    }
    const std::string invalid = "caf\xe9-\xc3\x28";
    EXPECT_EQ(toWide(invalid, CP_UTF8), L"caf\u00e9-\u00c3(");
}

TEST(PrintableText, ControlCharactersBecomeHexEscapes) {
    const std::pair<std::wstring, std::wstring> rows[] = {
        {L"", L""},
        {L"T\u1ea3i v\u1ec1.txt", L"T\u1ea3i v\u1ec1.txt"},
        {L"a\x1b[2Jb", L"a\\x1B[2Jb"},
        {L"x\r\ny", L"x\\x0D\\x0Ay"},
        {std::wstring(L"a\0b", 3), L"a\\x00b"},
        {L"\t\x1f", L"\\x09\\x1F"},
        {L"\x7f\x80\x85\x9f", L"\\x7F\\x80\\x85\\x9F"},
        // The neighbours of the escaped ranges stay as they are.
        {L" ~\xa0\u2028", L" ~\xa0\u2028"},
        {L"a\\x1B", L"a\\x1B"},
    };
    for (const auto& [text, expected] : rows) {
        EXPECT_EQ(printableText(text), expected) << toUtf8(expected);
    }
}

TEST(WindowsErrorText, TrimsLineEndsKeepsFullStopAndAppendsCode) {
    const std::string text = windowsErrorText(ERROR_ACCESS_DENIED);
    const std::string suffix = " (5)";
    ASSERT_GT(text.size(), suffix.size());
    EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix);
    const char last = text[text.size() - suffix.size() - 1];
    EXPECT_NE(last, '\n');
    EXPECT_NE(last, '\r');
    EXPECT_NE(last, ' ');
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(windowsErrorText(0x2FFFFFFF), "Windows error (805306367)");
}

TEST(Checks, ThrowExactlyTheMessageAndTheHresultSuffix) {
    EXPECT_NO_THROW(check(true, "ignored"));
    EXPECT_EQ(failureOf([] { check(false, "Không sao chép được: x"); }), "Không sao chép được: x");
    EXPECT_NO_THROW(checkHr(S_OK, "x"));
    EXPECT_NO_THROW(checkHr(S_FALSE, "x"));
    EXPECT_EQ(failureOf([] { checkHr(E_ACCESSDENIED, "Không lưu được shortcut"); }),
              "Không lưu được shortcut (HRESULT 0x80070005)");
    EXPECT_EQ(failureOf([] { checkHr(E_FAIL, "m"); }), "m (HRESULT 0x80004005)");
}

} // namespace
} // namespace qv
