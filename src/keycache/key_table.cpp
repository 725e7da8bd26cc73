// The key table's hash, insertion, growth and release.
#include "keycache/key_table.h"

#include <sodium.h>

namespace vg {

namespace {

inline std::uint64_t load64(const char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Each step is a bijection of the lane, so no input word's effect is lost.
inline std::uint64_t mixLane(std::uint64_t x) noexcept {
    x *= 0x9E3779B97F4A7C15ull;
    return x ^ (x >> 32);
}

inline std::uint64_t finish(std::uint64_t x) noexcept {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    return x ^ (x >> 33);
}

inline void wipe(void* block, std::size_t size) noexcept {
    if (block != nullptr && size != 0) sodium_memzero(block, size);
}

}  // namespace

std::uint64_t hashKey(std::string_view key) noexcept {
    const char* p = key.data();
    std::size_t n = key.size();
    // Two independent lanes halve the multiply chain of a 64-byte key.
    std::uint64_t a = 0x243F6A8885A308D3ull ^ n;
    std::uint64_t b = 0x13198A2E03707344ull;
    while (n >= 16) {
        a = mixLane(a ^ load64(p));
        b = mixLane(b ^ load64(p + 8));
        p += 16;
        n -= 16;
    }
    if (n >= 8) {
        // Overlapping words cover 8..15 bytes; the length is already in `a`.
        a = mixLane(a ^ load64(p));
        b = mixLane(b ^ load64(p + n - 8));
    } else if (n > 0) {
        std::uint64_t w = 0;
        std::memcpy(&w, p, n);
        a = mixLane(a ^ w);
    }
    return finish(a ^ (b * 0xD6E8FEB86659FD93ull));
}

void KeyTable::swap(KeyTable& other) noexcept {
    std::swap(slots_, other.slots_);
    std::swap(capacity_, other.capacity_);
    std::swap(entries_, other.entries_);
    std::swap(entryCapacity_, other.entryCapacity_);
    std::swap(count_, other.count_);
    std::swap(heapBytes_, other.heapBytes_);
}

bool KeyTable::allocateStorage(std::size_t capacity, std::size_t entryCapacity,
                               std::uint64_t*& slots, KeyEntry*& entries) noexcept {
    slots = static_cast<std::uint64_t*>(alloc_->allocate(capacity * sizeof(std::uint64_t)));
    if (slots == nullptr) return false;
    entries = static_cast<KeyEntry*>(alloc_->allocate(entryCapacity * sizeof(KeyEntry)));
    if (entries == nullptr) {
        alloc_->release(slots, capacity * sizeof(std::uint64_t));
        slots = nullptr;
        return false;
    }
    std::memset(slots, 0, capacity * sizeof(std::uint64_t));
    return true;
}

bool KeyTable::reserve(std::uint64_t keys) noexcept {
    if (keys == 0) return true;
    if (capacity_ != 0) return false;  // only an empty table without storage is sized
    if (keys > kMaxCapacity / 4 * 3) return false;
    std::size_t capacity = kMinCapacity;
    while (keys * 4 > capacity * 3) capacity *= 2;
    const std::size_t entryCapacity = static_cast<std::size_t>(keys);

    std::uint64_t* slots = nullptr;
    KeyEntry* entries = nullptr;
    if (!allocateStorage(capacity, entryCapacity, slots, entries)) return false;
    slots_ = slots;
    capacity_ = capacity;
    entries_ = entries;
    entryCapacity_ = entryCapacity;
    return true;
}

std::uint32_t KeyTable::probe(std::string_view key, std::uint64_t hash,
                              std::size_t* emptyAt) const noexcept {
    const std::size_t mask = capacity_ - 1;
    const std::uint64_t tag = hash >> 32;
    // Never endless: at most 3/4 of the slots are taken.
    for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
        const std::uint64_t slot = slots_[i];
        if (slot == 0) {
            if (emptyAt != nullptr) *emptyAt = i;
            return 0;
        }
        if ((slot >> 32) == tag) {
            const auto number = static_cast<std::uint32_t>(slot);
            const KeyEntry& e = entries_[number - 1];
            if (e.keySize_ == key.size() && std::memcmp(e.keyData(), key.data(), key.size()) == 0) {
                return number;
            }
        }
    }
}

const KeyEntry* KeyTable::find(std::string_view key) const noexcept {
    if (count_ == 0) return nullptr;
    const std::uint32_t number = probe(key, hashKey(key), nullptr);
    return number == 0 ? nullptr : &entries_[number - 1];
}

bool KeyTable::grow() noexcept {
    const std::size_t capacity = capacity_ == 0 ? kMinCapacity : capacity_ * 2;
    if (capacity > kMaxCapacity) return false;
    const std::size_t entryCapacity = capacity / 4 * 3;

    std::uint64_t* slots = nullptr;
    KeyEntry* entries = nullptr;
    if (!allocateStorage(capacity, entryCapacity, slots, entries)) return false;
    if (count_ != 0) std::memcpy(entries, entries_, count_ * sizeof(KeyEntry));

    // Positions come from the entry's low hash half, the tag from the old slot.
    const std::size_t mask = capacity - 1;
    for (std::size_t i = 0; i < capacity_; ++i) {
        const std::uint64_t slot = slots_[i];
        if (slot == 0) continue;
        std::size_t j = entries[static_cast<std::uint32_t>(slot) - 1].hashLow_ & mask;
        while (slots[j] != 0) j = (j + 1) & mask;
        slots[j] = slot;
    }

    releaseStorage();
    slots_ = slots;
    capacity_ = capacity;
    entries_ = entries;
    entryCapacity_ = entryCapacity;
    return true;
}

bool KeyTable::copyKey(KeyEntry& entry, std::string_view key) noexcept {
    entry.keySize_ = static_cast<std::uint32_t>(key.size());
    if (key.size() <= KeyEntry::kInlineKeyCapacity) {
        std::memcpy(entry.key_, key.data(), key.size());
        return true;
    }
    char* copy = static_cast<char*>(alloc_->allocate(key.size()));
    if (copy == nullptr) return false;
    std::memcpy(copy, key.data(), key.size());
    std::memcpy(entry.key_, &copy, sizeof copy);
    heapBytes_ += key.size();
    return true;
}

bool KeyTable::copyShort(ShortBytes& out, std::string_view bytes) noexcept {
    if (bytes.size() <= ShortBytes::kInlineCapacity) {
        if (!bytes.empty()) std::memcpy(out.bytes_, bytes.data(), bytes.size());
        out.bytes_[ShortBytes::kMarkAt] = static_cast<char>(bytes.size());
        return true;
    }
    char* copy = static_cast<char*>(alloc_->allocate(bytes.size()));
    if (copy == nullptr) return false;
    std::memcpy(copy, bytes.data(), bytes.size());
    const auto size = static_cast<std::uint32_t>(bytes.size());
    std::memcpy(out.bytes_, &copy, sizeof copy);
    std::memcpy(out.bytes_ + sizeof copy, &size, sizeof size);
    out.bytes_[ShortBytes::kMarkAt] = static_cast<char>(ShortBytes::kOutOfLine);
    heapBytes_ += bytes.size();
    return true;
}

void KeyTable::releaseKey(KeyEntry& entry) noexcept {
    if (!entry.keyOutOfLine()) return;
    char* copy = const_cast<char*>(entry.keyData());
    wipe(copy, entry.keySize_);
    alloc_->release(copy, entry.keySize_);
    heapBytes_ -= entry.keySize_;
    entry.keySize_ = 0;
}

void KeyTable::releaseShort(ShortBytes& bytes) noexcept {
    if (!bytes.outOfLine()) return;
    const std::size_t size = bytes.heapSize();
    char* copy = const_cast<char*>(bytes.heapData());
    wipe(copy, size);
    alloc_->release(copy, size);
    heapBytes_ -= size;
    bytes.bytes_[ShortBytes::kMarkAt] = 0;
}

void KeyTable::releaseCopies(KeyEntry& entry) noexcept {
    releaseKey(entry);
    releaseShort(entry.owner_);
    releaseShort(entry.extra_);
}

InsertResult KeyTable::insert(std::string_view key, std::string_view owner, std::string_view extra,
                              std::uint64_t hash) noexcept {
    // A 16 MiB file cannot hold a longer field; the guard keeps the 32-bit sizes exact.
    constexpr std::size_t kMaxField = UINT32_MAX;
    if (key.empty() || owner.empty() || key.size() > kMaxField || owner.size() > kMaxField ||
        extra.size() > kMaxField) {
        return InsertResult::skipped;
    }
    std::size_t emptyAt = 0;
    const std::uint32_t existing = capacity_ == 0 ? 0 : probe(key, hash, &emptyAt);

    // The copies are built straight into the next free entry when there is
    // one, else in a spare that growth moves into place.
    KeyEntry spare{};
    const bool inPlace = count_ < entryCapacity_;
    KeyEntry& fresh = inPlace ? entries_[count_] : spare;
    InsertResult result = InsertResult::outOfMemory;
    if (!copyKey(fresh, key)) {
        // nothing was made
    } else if (!copyShort(fresh.owner_, owner)) {
        releaseKey(fresh);
    } else if (!copyShort(fresh.extra_, extra)) {
        releaseKey(fresh);
        releaseShort(fresh.owner_);
    } else if (existing != 0) {
        KeyEntry& stored = entries_[existing - 1];
        releaseShort(stored.owner_);
        releaseShort(stored.extra_);
        stored.owner_ = fresh.owner_;
        stored.extra_ = fresh.extra_;
        releaseKey(fresh);
        result = InsertResult::replaced;
    } else if (inPlace || grow()) {
        if (!inPlace) {
            (void)probe(key, hash, &emptyAt);
            std::memcpy(static_cast<void*>(&entries_[count_]), &spare, sizeof spare);
        }
        entries_[count_].hashLow_ = static_cast<std::uint32_t>(hash);
        slots_[emptyAt] = (hash >> 32 << 32) | (count_ + 1);
        ++count_;
        result = InsertResult::added;
    } else {
        releaseCopies(fresh);
    }

    // Key bytes left behind in a scratch entry are wiped like the table's own.
    if (!inPlace) {
        wipe(&spare, sizeof spare);
    } else if (result != InsertResult::added) {
        wipe(&fresh, sizeof fresh);
    }
    return result;
}

void KeyTable::releaseStorage() noexcept {
    // The slots hold hash tags of the keys, and with hash_algorithm = none
    // the keys are passwords: both blocks are wiped like the copies.
    wipe(entries_, count_ * sizeof(KeyEntry));
    wipe(slots_, capacity_ * sizeof(std::uint64_t));
    alloc_->release(entries_, entryCapacity_ * sizeof(KeyEntry));
    alloc_->release(slots_, capacity_ * sizeof(std::uint64_t));
}

void KeyTable::release() noexcept {
    if (heapBytes_ != 0) {
        for (std::size_t i = 0; i < count_; ++i) releaseCopies(entries_[i]);
    }
    releaseStorage();
    slots_ = nullptr;
    capacity_ = 0;
    entries_ = nullptr;
    entryCapacity_ = 0;
    count_ = 0;
    heapBytes_ = 0;
}

}  // namespace vg
