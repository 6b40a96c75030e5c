#include "net/release_fixture.h"

#include <windows.h>

#include <array>
#include <fstream>
#include <iterator>

namespace qv::test {
namespace {

std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

void put16(std::string& out, std::uint32_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void put32(std::string& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

} // namespace

std::wstring environmentText(const wchar_t* name) {
    std::array<wchar_t, 32768> value{};
    const DWORD length = ::GetEnvironmentVariableW(name, value.data(), value.size());
    return length > 0 && length < value.size() ? std::wstring(value.data(), length)
                                               : std::wstring();
}

std::string readBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << path.string();
}

::testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) {
        return ::testing::AssertionSuccess();
    }
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) {
        ++at;
    }
    return ::testing::AssertionFailure() << actual.size() << " bytes where " << expected.size()
                                         << " were expected; first difference at " << at;
}

std::string patternBytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string storedZip(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string archive;
    std::string directory;
    for (const auto& [name, data] : entries) {
        const std::uint32_t offset = static_cast<std::uint32_t>(archive.size());
        const std::uint32_t crc = crc32(data);
        const auto size = static_cast<std::uint32_t>(data.size());
        put32(archive, 0x04034B50);
        put16(archive, 20); // version needed
        put16(archive, 0);  // flags
        put16(archive, 0);  // stored
        put32(archive, 0);  // time and date
        put32(archive, crc);
        put32(archive, size);
        put32(archive, size);
        put16(archive, static_cast<std::uint32_t>(name.size()));
        put16(archive, 0); // extra length
        archive += name;
        archive += data;

        put32(directory, 0x02014B50);
        put16(directory, 20); // version made by
        put16(directory, 20); // version needed
        put16(directory, 0);  // flags
        put16(directory, 0);  // stored
        put32(directory, 0);  // time and date
        put32(directory, crc);
        put32(directory, size);
        put32(directory, size);
        put16(directory, static_cast<std::uint32_t>(name.size()));
        put16(directory, 0); // extra length
        put16(directory, 0); // comment length
        put16(directory, 0); // disk
        put16(directory, 0); // internal attributes
        put32(directory, 0); // external attributes
        put32(directory, offset);
        directory += name;
    }
    const auto directoryOffset = static_cast<std::uint32_t>(archive.size());
    archive += directory;
    put32(archive, 0x06054B50);
    put16(archive, 0); // this disk
    put16(archive, 0); // directory's disk
    put16(archive, static_cast<std::uint32_t>(entries.size()));
    put16(archive, static_cast<std::uint32_t>(entries.size()));
    put32(archive, static_cast<std::uint32_t>(directory.size()));
    put32(archive, directoryOffset);
    put16(archive, 0); // comment length
    return archive;
}

ConsoleCapture::ConsoleCapture()
    : savedOut_(std::wcout.rdbuf(out_.rdbuf())), savedErr_(std::cerr.rdbuf(err_.rdbuf())) {}

ConsoleCapture::~ConsoleCapture() {
    std::wcout.rdbuf(savedOut_);
    std::cerr.rdbuf(savedErr_);
}

void ReleaseServerTest::SetUp() {
    httpBase_ = environmentText(L"QUORVALENT_TEST_HTTP_BASE");
    httpsBase_ = environmentText(L"QUORVALENT_TEST_HTTPS_BASE");
    root_ = environmentText(L"QUORVALENT_TEST_SERVER_ROOT");
    ASSERT_FALSE(httpBase_.empty() || httpsBase_.empty() || root_.empty())
        << "run through tests/support/with_release_server.py";

    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "-" + info->name();
    for (char& c : name) {
        if (c == '/') {
            c = '-';
        }
    }
    work_ = std::filesystem::temp_directory_path() / ("quorvalent-net-" + name);
    std::filesystem::remove_all(work_);
    std::filesystem::create_directories(work_);
}

void ReleaseServerTest::TearDown() {
    std::error_code ignored;
    if (!HasFailure()) {
        std::filesystem::remove_all(work_, ignored);
    }
}

std::wstring ReleaseServerTest::publish(const std::string& name, const std::string& bytes) {
    writeBytes(root_ / name, bytes);
    return L"/" + std::filesystem::path(name).wstring();
}

std::wstring ReleaseServerTest::uniqueId() const {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::filesystem::path(std::string(info->test_suite_name()) + "." + info->name())
        .wstring();
}

} // namespace qv::test
