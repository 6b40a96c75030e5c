#include "net/download.h"

#include "console/console_output.h"
#include "core/errors.h"
#include "net/release_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <stdexcept>
#include <string>

namespace qv::test {
namespace {

constexpr std::size_t kSize = 600 * 1024;
constexpr std::size_t kCut = 300000;

// What the second attempt, with the first one's resume point, does.
enum class Then {
    Continues,  // asks for the rest and continues the partial file
    StartsOver, // gets the whole body and starts the partial file over
    Fails,      // the answer does not fit: the attempt fails, the next starts from nothing
};

// What happens on the server between the two attempts.
enum class Between { Nothing, Replaced, Removed };

struct ResumeRow {
    const char* label;
    const wchar_t* query; // the faults of the URL; the first answer is cut at kCut
    bool redirected;
    bool secure;
    bool named; // the first answer names the body with a strong validator
    Between between;
    Then then;
    const char* failure; // of the second attempt, for Then::Fails
};

void PrintTo(const ResumeRow& row, std::ostream* out) {
    *out << row.label;
}

class BrokenTransfer : public ReleaseServerTest, public ::testing::WithParamInterface<ResumeRow> {
protected:
    std::string attempt(const std::wstring& url, ResumePoint& resume) {
        try {
            downloadFile(url, target(), kNetTag, resume);
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return "";
    }
};

// The lowest percent a running line of out shows (101 when there is none).
int lowestPercent(const std::wstring& out) {
    const std::wstring head = L"] Đang tải ";
    int lowest = 101;
    for (std::size_t at = out.find(head); at != std::wstring::npos; at = out.find(head, at + 1)) {
        lowest = std::min(lowest, std::stoi(out.substr(at + head.size(), 3)));
    }
    return lowest;
}

TEST_P(BrokenTransfer, GoesOnOnlyWithTheSameEntitysBytes) {
    const ResumeRow& row = GetParam();
    const std::string first = patternBytes(kSize, 21);
    const std::string second = patternBytes(kSize, 22);
    std::string name = std::string("resume-") + row.label + ".bin";
    for (char& c : name) {
        c = c == ' ' ? '-' : c;
    }
    const std::wstring path = publish(name, first);
    const std::wstring query = std::wstring(L"?cutonce=") + std::to_wstring(kCut) + row.query;
    const std::wstring url = (row.secure ? httpsUrl(L"") : httpUrl(L"")) +
                             (row.redirected ? L"/redirect/https" : L"") + path + query;

    ResumePoint resume;
    EXPECT_EQ(attempt(url, resume), "Tải xuống không đầy đủ: nhận " + std::to_string(kCut) +
                                        " trên " + std::to_string(kSize) + " byte.");
    EXPECT_EQ(resume.usable(), row.named);
    EXPECT_EQ(std::filesystem::exists(partial()), row.named);
    if (row.between == Between::Replaced) {
        publish(name, second);
    } else if (row.between == Between::Removed) {
        std::filesystem::remove(environmentText(L"QUORVALENT_TEST_SERVER_ROOT") + path);
    }

    const std::size_t before = console_.out().size();
    const std::string failure = attempt(url, resume);
    const std::wstring out = console_.out().substr(before);
    const std::wstring continued = L"    [Net] Máy chủ phản hồi: " + formatByteSize(kSize) +
                                   L". Tải tiếp từ " + formatByteSize(kCut) + L"...\n";
    const std::wstring fresh =
        L"    [Net] Máy chủ phản hồi: " + formatByteSize(kSize) + L". Bắt đầu tải...\n";
    if (row.then == Then::Fails) {
        EXPECT_EQ(failure, row.failure);
        EXPECT_FALSE(resume.usable());
        EXPECT_EQ(out.find(L"Tải tiếp"), std::wstring::npos) << toUtf8(out);
        // The next attempt starts from nothing.
        publish(name, first);
        const std::size_t third = console_.out().size();
        EXPECT_EQ(attempt(url, resume), "");
        EXPECT_NE(console_.out().find(fresh, third), std::wstring::npos) << toUtf8(out);
    } else {
        EXPECT_EQ(failure, "");
        const bool continues = row.then == Then::Continues;
        EXPECT_NE(out.find(continues ? continued : fresh), std::wstring::npos) << toUtf8(out);
        // A continued line counts the whole file: it never shows less than what was there.
        EXPECT_GE(lowestPercent(out), continues ? static_cast<int>(kCut * 100 / kSize) : 0);
    }
    EXPECT_TRUE(sameBytes(readFile(target()), row.between == Between::Replaced ? second : first));
    EXPECT_FALSE(std::filesystem::exists(partial()));
    EXPECT_FALSE(resume.usable());
}

INSTANTIATE_TEST_SUITE_P(
    Download, BrokenTransfer,
    ::testing::Values(
        ResumeRow{"etag and date", L"", false, false, true, Between::Nothing, Then::Continues, ""},
        ResumeRow{"etag and date https", L"", false, true, true, Between::Nothing, Then::Continues,
                  ""},
        ResumeRow{"etag only", L"&validator=etag", false, true, true, Between::Nothing,
                  Then::Continues, ""},
        ResumeRow{"date only", L"&validator=lastmod", false, false, true, Between::Nothing,
                  Then::Continues, ""},
        ResumeRow{"after a redirect", L"", true, true, true, Between::Nothing, Then::Continues, ""},
        ResumeRow{"after an http redirect", L"", true, false, true, Between::Nothing,
                  Then::Continues, ""},
        ResumeRow{"replaced on the server", L"", false, true, true, Between::Replaced,
                  Then::StartsOver, ""},
        ResumeRow{"ranges ignored", L"&ranges=ignore", false, true, true, Between::Nothing,
                  Then::StartsOver, ""},
        ResumeRow{"weak etag only", L"&validator=weak", false, true, false, Between::Nothing,
                  Then::StartsOver, ""},
        ResumeRow{"no validator", L"&validator=none", false, false, false, Between::Nothing,
                  Then::StartsOver, ""},
        ResumeRow{"206 from the wrong start", L"&badrange=start", false, true, true,
                  Between::Nothing, Then::Fails,
                  "Phần tải tiếp từ máy chủ không khớp với phần đã tải."},
        ResumeRow{"206 of the wrong total", L"&badrange=total", true, false, true, Between::Nothing,
                  Then::Fails, "Phần tải tiếp từ máy chủ không khớp với phần đã tải."},
        ResumeRow{"gone from the server", L"", false, true, true, Between::Removed, Then::Fails,
                  "Máy chủ trả về HTTP 404"}),
    [](const ::testing::TestParamInfo<ResumeRow>& info) {
        std::string name = info.param.label;
        for (char& c : name) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name;
    });

} // namespace
} // namespace qv::test
