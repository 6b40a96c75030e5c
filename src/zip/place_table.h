#pragma once
// Remembers every place the entries walked so far take on a case-insensitive file system, and
// whether a file or a folder is there, so that two entries naming one place are refused: the
// Shell would merge or skip them without a word, and the extraction would never reach the
// archive's totals.
//
// A place is the name with its separators unified, empty segments and a trailing separator
// dropped, and its letters upper-cased the way Windows compares file names: ordinally, one
// UTF-16 unit at a time, through the system's upper-case table (CompareStringOrdinal with
// bIgnoreCase). A hash table needs one key per place rather than a comparison, so the key is
// made with LCMapStringEx, LCMAP_UPPERCASE and the invariant locale: without
// LCMAP_LINGUISTIC_CASING that call upper-cases by the same file-system rules, with no
// language's special cases and no change of length. ASCII-only names, nearly all of them, are
// folded here without the call.
//
// Keys live end to end in one buffer, and every folder above a name is a prefix of that name's
// key, so a folder costs a table slot but no text of its own. Each place gets all the folders
// above it, so the walk up from a new name stops at the first folder already known.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qv {

class PlaceTable {
public:
    // expectedPlaces sizes the first table, and nameRoom (the names' total length, as far as it
    // is known) the text of the keys; both grow as needed.
    PlaceTable(std::size_t expectedPlaces, std::size_t nameRoom);

    // Takes the entry's name bytes before they are decoded. ASCII bytes decode to the same
    // characters in UTF-8 and in every ANSI code page, so such a name's key is made now and the
    // slot it hashes to starts loading while the name is decoded and checked: with tens of
    // thousands of entries the table is far larger than the processor's nearest caches.
    // Optional: add() makes the key itself when it was not prepared.
    void prepare(const std::string& rawName);

    // Adds the decoded name (its prepared key, when it had one). False when it names a place
    // another entry took as a file, or as a folder while this entry is a file.
    bool add(const std::wstring& name, bool isFolder);

private:
    struct Slot {
        std::uint32_t offset;
        std::uint16_t length; // 0: free; a key is never empty and never longer than its name
        std::uint16_t hashBits : 15;
        std::uint16_t isFolder : 1;
    };
    struct FolderEnd {
        std::uint32_t length;
        std::uint32_t hash;
    };

    template <typename Char> bool appendKey(const Char* name, std::size_t size);
    void upperCaseInPlace(std::size_t start);
    std::uint32_t hashKey(std::size_t start, std::uint32_t length);
    // Fibonacci hashing: the top bits of the product spread keys whose hashes are alike.
    std::size_t home(std::uint32_t hash) const { return (hash * 0x9E3779B1u) >> shift_; }
    Slot& find(std::size_t start, std::uint32_t length, std::uint32_t hash);
    void take(Slot& slot, std::size_t start, std::uint32_t length, std::uint32_t hash,
              bool isFolder);
    void resize(std::size_t capacity);

    std::uint32_t basis_ = 0;
    std::vector<Slot> slots_;
    std::vector<wchar_t> keys_; // [0, keysUsed_) holds the keys end to end
    std::size_t keysUsed_ = 0;
    std::size_t used_ = 0;
    unsigned shift_ = 32;
    // The entry being added: its key at [pendingStart_, pendingStart_ + pendingLength_).
    bool prepared_ = false;
    std::size_t pendingStart_ = 0;
    std::uint32_t pendingLength_ = 0;
    std::uint32_t pendingHash_ = 0;
    std::vector<FolderEnd> folderEnds_;
};

} // namespace qv
