#include "zip/producer_archives.h"
#include "zip/verify_outcome.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

TEST(ZipProducers, RealArchivesAreAcceptedWithTheTreeCounts) {
    const auto archives = ziptest::producerArchives();
    ASSERT_FALSE(archives.empty())
        << "no producer archives; QUORVALENT_ZIP_SAMPLES=" << ziptest::producerFolder().string();
    for (const auto& archive : archives) {
        EXPECT_EQ(ziptest::verifyFile(archive.path),
                  ziptest::describe(ZipSummary{archive.files, archive.bytes}))
            << archive.name;
    }
}

} // namespace
} // namespace qv
