// The key table's storage, hashing, probing and release.
#include "keycache/key_table.h"

#include <new>

namespace vg {

namespace {

inline std::uint64_t load64(const char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

inline std::uint64_t mix(std::uint64_t h) noexcept {
    h ^= h >> 29;
    h *= 0x94d049bb133111ebULL;
    h ^= h >> 32;
    return h;
}

constexpr std::uint32_t tagOf(std::uint64_t h) noexcept { return static_cast<std::uint32_t>(h >> 32); }

}  // namespace

std::uint64_t KeyTable::hash(std::string_view key) noexcept {
    const char* p = key.data();
    std::size_t n = key.size();
    std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ (n * 0xff51afd7ed558ccdULL);
    while (n >= 8) {
        h = (h ^ load64(p)) * 0xbf58476d1ce4e5b9ULL;
        h ^= h >> 31;
        p += 8;
        n -= 8;
    }
    if (n > 0) {
        std::uint64_t w = 0;
        std::memcpy(&w, p, n);
        h = (h ^ w) * 0xbf58476d1ce4e5b9ULL;
    }
    return mix(h);
}

KeyTable& KeyTable::operator=(KeyTable&& other) noexcept {
    if (this != &other) {
        release();
        alloc_ = other.alloc_;
        index_ = other.index_;
        indexSize_ = other.indexSize_;
        entries_ = other.entries_;
        entryCapacity_ = other.entryCapacity_;
        count_ = other.count_;
        heapCopies_ = other.heapCopies_;
        other.index_ = nullptr;
        other.indexSize_ = 0;
        other.entries_ = nullptr;
        other.entryCapacity_ = 0;
        other.count_ = 0;
        other.heapCopies_ = 0;
    }
    return *this;
}

bool KeyTable::reserve(const Allocator& alloc, std::size_t maxEntries) noexcept {
    release();
    alloc_ = &alloc;
    if (maxEntries == 0) return true;
    // At most 3/4 full, so probes stay short on a miss.
    std::size_t size = 16;
    while (size / 4 * 3 < maxEntries) size *= 2;
    auto* index = static_cast<std::uint64_t*>(alloc.allocate(size * sizeof(std::uint64_t)));
    auto* entries = static_cast<Slot*>(alloc.allocate(maxEntries * sizeof(Slot)));
    if (index == nullptr || entries == nullptr) {
        alloc.release(index, size * sizeof(std::uint64_t));
        alloc.release(entries, maxEntries * sizeof(Slot));
        return false;
    }
    std::memset(index, 0, size * sizeof(std::uint64_t));
    index_ = index;
    indexSize_ = size;
    entries_ = entries;
    entryCapacity_ = maxEntries;
    return true;
}

std::uint64_t* KeyTable::findIndex(std::string_view key, std::uint64_t h) const noexcept {
    const std::size_t mask = indexSize_ - 1;
    const std::uint32_t tag = tagOf(h);
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
        std::uint64_t word = index_[i];
        if (word == 0) return &index_[i];
        if (tagOf(word) == tag) {
            const Slot& slot = entries_[static_cast<std::uint32_t>(word) - 1];
            std::string_view stored = slot.key.view();
            if (stored.size() == key.size() && std::memcmp(stored.data(), key.data(), key.size()) == 0) {
                return &index_[i];
            }
        }
    }
}

KeyTable::Insert KeyTable::insert(std::string_view key, std::string_view owner,
                                  std::string_view extra) noexcept {
    if (alloc_ == nullptr) return Insert::skipped;
    const Allocator& alloc = *alloc_;
    // The copies are made first; a failure releases what this line got so far.
    StoredBytes<68> keyCopy;
    StoredBytes<20> ownerCopy;
    StoredBytes<12> extraCopy;
    if (!keyCopy.assign(alloc, key)) return Insert::skipped;
    if (!ownerCopy.assign(alloc, owner)) {
        keyCopy.release(alloc);
        return Insert::skipped;
    }
    if (!extraCopy.assign(alloc, extra)) {
        keyCopy.release(alloc);
        ownerCopy.release(alloc);
        return Insert::skipped;
    }
    const std::size_t fresh = (keyCopy.onHeap() ? 1 : 0) + (ownerCopy.onHeap() ? 1 : 0) +
                              (extraCopy.onHeap() ? 1 : 0);

    std::uint64_t h = hash(key);
    std::uint64_t* word = indexSize_ == 0 ? nullptr : findIndex(key, h);
    if (word != nullptr && *word != 0) {
        KeyEntry& entry = entries_[static_cast<std::uint32_t>(*word) - 1].entry;
        heapCopies_ -= (entry.owner_.onHeap() ? 1 : 0) + (entry.extra_.onHeap() ? 1 : 0);
        entry.owner_.release(alloc);
        entry.extra_.release(alloc);
        keyCopy.release(alloc);
        entry.owner_ = ownerCopy;
        entry.extra_ = extraCopy;
        heapCopies_ += (ownerCopy.onHeap() ? 1 : 0) + (extraCopy.onHeap() ? 1 : 0);
        return Insert::replaced;
    }
    if (word == nullptr || count_ == entryCapacity_) {
        keyCopy.release(alloc);
        ownerCopy.release(alloc);
        extraCopy.release(alloc);
        return Insert::skipped;
    }
    Slot* slot = new (&entries_[count_]) Slot;
    slot->key = keyCopy;
    slot->entry.owner_ = ownerCopy;
    slot->entry.extra_ = extraCopy;
    ++count_;
    *word = (h & 0xffffffff00000000ULL) | static_cast<std::uint64_t>(count_);
    heapCopies_ += fresh;
    return Insert::added;
}

const KeyEntry* KeyTable::find(std::string_view key) const noexcept {
    if (indexSize_ == 0) return nullptr;
    std::uint64_t* word = findIndex(key, hash(key));
    if (*word == 0) return nullptr;
    return &entries_[static_cast<std::uint32_t>(*word) - 1].entry;
}

void KeyTable::release() noexcept {
    if (alloc_ == nullptr) return;
    if (heapCopies_ > 0) {
        for (std::size_t i = 0; i < count_; ++i) {
            entries_[i].key.release(*alloc_);
            entries_[i].entry.owner_.release(*alloc_);
            entries_[i].entry.extra_.release(*alloc_);
        }
    }
    alloc_->release(index_, indexSize_ * sizeof(std::uint64_t));
    alloc_->release(entries_, entryCapacity_ * sizeof(Slot));
    index_ = nullptr;
    indexSize_ = 0;
    entries_ = nullptr;
    entryCapacity_ = 0;
    count_ = 0;
    heapCopies_ = 0;
}

}  // namespace vg
