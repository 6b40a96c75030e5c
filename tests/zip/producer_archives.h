#pragma once
// The archives that real ZIP producers made for this test run
// (tests/support/make_producer_zips.py), found through QUORVALENT_ZIP_SAMPLES, with the counts of
// the folder tree each one holds.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qv::ziptest {

struct ProducerArchive {
    std::filesystem::path path;
    std::string name;
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    std::uint64_t directoryOffset = 0;
};

inline std::filesystem::path producerFolder() {
    const char* folder = std::getenv("QUORVALENT_ZIP_SAMPLES");
    return folder == nullptr ? std::filesystem::path() : std::filesystem::path(folder);
}

// Empty when the folder or its list is missing; callers treat that as a failure.
inline std::vector<ProducerArchive> producerArchives() {
    std::vector<ProducerArchive> archives;
    const auto folder = producerFolder();
    if (folder.empty()) {
        return archives;
    }
    std::ifstream list(folder / "expected.txt", std::ios::binary);
    std::string line;
    while (std::getline(list, line)) {
        std::istringstream fields(line);
        ProducerArchive archive;
        std::string files, bytes, offset;
        if (std::getline(fields, archive.name, '|') && std::getline(fields, files, '|') &&
            std::getline(fields, bytes, '|') && std::getline(fields, offset)) {
            archive.path = folder / archive.name;
            archive.files = std::stoull(files);
            archive.bytes = std::stoull(bytes);
            archive.directoryOffset = std::stoull(offset);
            archives.push_back(archive);
        }
    }
    return archives;
}

inline std::string readWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

} // namespace qv::ziptest
