#include "zip/place_table.h"

#include "core/errors.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <type_traits>

namespace qv {
namespace {

constexpr std::uint32_t kHashPrime = 16777619u; // FNV-1a

std::uint16_t hashBitsOf(std::uint32_t hash) {
    return hash & 0x7FFF;
}

} // namespace

PlaceTable::PlaceTable(std::size_t expectedPlaces, std::size_t nameRoom) {
    // A starting value of its own for every table, so that an archive cannot be made with
    // thousands of names that share one hash and slow the walk down to a crawl.
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    basis_ = 2166136261u ^ static_cast<std::uint32_t>(now.QuadPart);
    std::size_t capacity = 64;
    while (capacity < 2 * expectedPlaces) {
        capacity *= 2;
    }
    resize(capacity);
    // A key is never longer than its name.
    keys_.reserve(nameRoom);
}

// Appends the name's key to the text, with ASCII letters upper-cased, and hashes it and
// the folders above it (the prefixes that end before a separator) on the way. False when
// the name holds a character beyond ASCII: its key is then not finished.
template <typename Char> bool PlaceTable::appendKey(const Char* name, std::size_t size) {
    pendingStart_ = keysUsed_;
    // Only as far as this name reaches: the vector's own growth keeps adding amortised, and
    // memory not yet needed stays untouched.
    if (keys_.size() - keysUsed_ < size) {
        keys_.resize(keysUsed_ + size);
    }
    wchar_t* const begin = keys_.data() + keysUsed_;
    wchar_t* out = begin;
    folderEnds_.clear();
    std::uint32_t hash = basis_;
    unsigned allBits = 0; // below 0x80: ASCII only
    for (std::size_t i = 0; i < size; ++i) {
        auto c = static_cast<wchar_t>(static_cast<std::make_unsigned_t<Char>>(name[i]));
        if (c == L'/' || c == L'\\') {
            if (out == begin || out[-1] == L'\\') {
                continue;
            }
            c = L'\\';
            folderEnds_.push_back({static_cast<std::uint32_t>(out - begin), hash});
        } else if (c >= L'a' && c <= L'z') {
            c -= L'a' - L'A';
        }
        allBits |= c;
        *out++ = c;
        hash = (hash ^ c) * kHashPrime;
    }
    if (out != begin && out[-1] == L'\\') {
        --out;
        hash = folderEnds_.back().hash;
        folderEnds_.pop_back();
    }
    keysUsed_ += static_cast<std::size_t>(out - begin);
    pendingLength_ = static_cast<std::uint32_t>(out - begin);
    pendingHash_ = hash;
    return allBits < 0x80;
}

void PlaceTable::upperCaseInPlace(std::size_t start) {
    const auto length = static_cast<int>(keysUsed_ - start);
    const std::wstring source(keys_.data() + start, keys_.data() + keysUsed_);
    check(::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, source.data(), length,
                          keys_.data() + start, length, nullptr /* version */,
                          nullptr /* reserved */, 0 /* reserved */) == length,
          "Không chuyển đổi được tên file trong ZIP.");
}

// The same hashes as appendKey, for a key already in the text.
std::uint32_t PlaceTable::hashKey(std::size_t start, std::uint32_t length) {
    folderEnds_.clear();
    const wchar_t* key = keys_.data() + start;
    std::uint32_t hash = basis_;
    for (std::uint32_t i = 0; i < length; ++i) {
        if (key[i] == L'\\') {
            folderEnds_.push_back({i, hash});
        }
        hash = (hash ^ key[i]) * kHashPrime;
    }
    return hash;
}

PlaceTable::Slot& PlaceTable::find(std::size_t start, std::uint32_t length, std::uint32_t hash) {
    const std::size_t mask = slots_.size() - 1;
    const std::uint16_t bits = hashBitsOf(hash);
    for (std::size_t i = home(hash);; i = (i + 1) & mask) {
        Slot& slot = slots_[i];
        if (slot.length == 0 ||
            (slot.hashBits == bits && slot.length == length &&
             std::wmemcmp(keys_.data() + slot.offset, keys_.data() + start, length) == 0)) {
            return slot;
        }
    }
}

void PlaceTable::take(Slot& slot, std::size_t start, std::uint32_t length, std::uint32_t hash,
                      bool isFolder) {
    slot.offset = static_cast<std::uint32_t>(start);
    slot.length = static_cast<std::uint16_t>(length);
    slot.hashBits = hashBitsOf(hash);
    slot.isFolder = isFolder;
    if (++used_ * 4 > slots_.size() * 3) {
        resize(slots_.size() * 2);
    }
}

// Slots keep only part of the hash, so moving them to a larger table hashes their keys again.
void PlaceTable::resize(std::size_t capacity) {
    std::vector<Slot> old(capacity, Slot{0, 0, 0, 0});
    old.swap(slots_);
    shift_ = 32;
    for (std::size_t c = capacity; c > 1; c /= 2) {
        --shift_;
    }
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.length == 0) {
            continue;
        }
        std::uint32_t hash = basis_;
        for (std::uint32_t i = 0; i < slot.length; ++i) {
            hash = (hash ^ keys_[slot.offset + i]) * kHashPrime;
        }
        std::size_t i = home(hash);
        while (slots_[i].length != 0) {
            i = (i + 1) & mask;
        }
        slots_[i] = slot;
    }
}

void PlaceTable::prepare(const std::string& rawName) {
    prepared_ = appendKey(rawName.data(), rawName.size());
    if (prepared_) {
        __builtin_prefetch(&slots_[home(pendingHash_)]);
    } else {
        keysUsed_ = pendingStart_;
    }
}

bool PlaceTable::add(const std::wstring& name, bool isFolder) {
    if (!prepared_ && !appendKey(name.data(), name.size())) {
        upperCaseInPlace(pendingStart_);
        pendingHash_ = hashKey(pendingStart_, pendingLength_);
    }
    prepared_ = false;

    const std::size_t start = pendingStart_;
    Slot& slot = find(start, pendingLength_, pendingHash_);
    if (slot.length != 0) {
        keysUsed_ = start; // a known place: its text is not needed again
        return isFolder && slot.isFolder;
    }
    take(slot, start, pendingLength_, pendingHash_, isFolder);
    for (auto folder = folderEnds_.rbegin(); folder != folderEnds_.rend(); ++folder) {
        Slot& above = find(start, folder->length, folder->hash);
        if (above.length != 0) {
            return above.isFolder;
        }
        take(above, start, folder->length, folder->hash, true);
    }
    return true;
}

} // namespace qv
