#include "zip/folder_tally.h"

#include "core/directory_walk.h"

namespace qv {

namespace fs = std::filesystem;

ZipSummary tallyDirectory(const fs::path& folder) {
    ZipSummary totals;
    try {
        // A folder that cannot be listed (missing, access denied, still being created by the
        // Shell) counts as empty; the next poll sees it again. Links are neither entered nor
        // counted: nothing outside the tree may make the totals look reached.
        walkDirectory(folder, WalkOrder::FolderFirst, WalkErrors::Skip,
                      [&](const WalkEntry& entry) {
                          if (entry.isRegularFile()) {
                              totals.fileCount += 1;
                              totals.totalBytes += entry.size;
                          }
                          return true;
                      });
    } catch (...) {
        // Out of memory for a path: what was counted so far stands, as documented.
    }
    return totals;
}

} // namespace qv
