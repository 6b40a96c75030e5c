#include "zip/zip_verifier.h"

#include "core/errors.h"
#include "support/zip_writer.h"
#include "zip/verify_outcome.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <string>

namespace qv::ziptest {
namespace {

TEST(ZipVerifier, LargestAcceptedCountWithRecordsStraddlingReads) {
    // 65,534 records of varying lengths: the directory is far larger than any one read, so
    // records, names and skipped fields fall across read boundaries.
    ZipLayout layout;
    std::uint64_t expectedBytes = 0;
    std::uint64_t expectedFiles = 0;
    for (std::uint32_t i = 0; i < 65534; ++i) {
        ZipEntry entry;
        entry.name = "d" + std::to_string(i % 97) + "/f" + std::to_string(i);
        if (i % 1000 == 0) {
            entry.name = "d" + std::to_string(i) + "/";
        } else {
            ++expectedFiles;
            expectedBytes += i;
        }
        entry.uncompressedSize = i;
        entry.extra = std::string(i % 37, 'e');
        entry.comment = std::string(i % 5, 'c');
        layout.entries.push_back(std::move(entry));
    }
    EXPECT_EQ(verifyBytes(buildZip(layout)), "accepted " + std::to_string(expectedFiles) +
                                                 " files, " + std::to_string(expectedBytes) +
                                                 " bytes");
}

TEST(ZipVerifier, PathsAreWideAndAMissingFileIsNamed) {
    const auto missing = scratchFolder() / L"không-có.zip";
    EXPECT_EQ(verifyFile(missing), "Không mở được ZIP: " + toUtf8(missing.wstring()));

    // Letters outside the ANSI code page: a narrow open would not find this file.
    const auto vietnamese = scratchFolder() / L"Gói cài đặt ữ.zip";
    {
        const std::string bytes =
            buildZip(simpleLayout({{"a.txt", 5}, {"dir/", 0}, {"dir/b.bin", 7}}));
        std::ofstream out(vietnamese, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    EXPECT_EQ(verifyFile(vietnamese), "accepted 2 files, 12 bytes");
    EXPECT_TRUE(::DeleteFileW(vietnamese.c_str()));
}

} // namespace
} // namespace qv::ziptest
