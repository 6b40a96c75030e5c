#pragma once
// Archives made of bare names, for the tables of names the verifier accepts or refuses: each
// name UTF-8-flagged, one byte long when it is a file.

#include "support/zip_writer.h"

#include <string>
#include <vector>

namespace qv::ziptest {

inline const std::string kUnsafe = "Đã chặn đường dẫn không an toàn trong ZIP: ";
inline const std::string kSameName = "ZIP chứa tên trùng nhau: ";

inline std::string namesArchive(const std::vector<std::string>& names) {
    ZipLayout layout;
    for (const std::string& name : names) {
        const bool folder = name.back() == '/' || name.back() == '\\';
        layout.entries.push_back(entry(name, folder ? 0 : 1, 0x0800));
    }
    return buildZip(layout);
}

inline std::string repeat(const std::string& text, int times) {
    std::string result;
    for (int i = 0; i < times; ++i) {
        result += text;
    }
    return result;
}

inline std::string acceptedFiles(int count) {
    return "accepted " + std::to_string(count) + " files, " + std::to_string(count) + " bytes";
}

struct NamesRow {
    const char* label;
    std::vector<std::string> names;
    std::string expected;
};

} // namespace qv::ziptest
