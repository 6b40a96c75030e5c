#include "zip/producer_archives.h"
#include "zip/verify_outcome.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

TEST(ZipProducers, RealArchivesAreAcceptedWithTheTreeCounts) {
    const auto archives = ziptest::producerArchives();
    ASSERT_FALSE(archives.empty())
        << "no producer archives; QUORVALENT_ZIP_SAMPLES=" << ziptest::producerFolder().string();
    // Info-ZIP's zip on Linux writes the package's Vietnamese names as UTF-8 without the flag:
    // read as today where the two code pages agree, refused where the Shell would read them in
    // another one.
    const NameCodePages agree{1258, 1258};
    const NameCodePages differ{1252, 437};
    for (const auto& archive : archives) {
        const std::string counts = ziptest::describe(ZipSummary{archive.files, archive.bytes});
        EXPECT_EQ(ziptest::verifyFile(archive.path, &agree), counts) << archive.name;
        const bool unflagged = archive.name.rfind("package-infozip-", 0) == 0;
        EXPECT_EQ(ziptest::verifyFile(archive.path, &differ)
                          .rfind("Tên file trong ZIP không rõ bảng mã: T\xc3\x83", 0) == 0,
                  unflagged)
            << archive.name;
        if (!unflagged) {
            EXPECT_EQ(ziptest::verifyFile(archive.path, &differ), counts) << archive.name;
        }
    }
}

} // namespace
} // namespace qv
