// The key table: open addressing over a compact slot array, entries stored
// densely with their strings inline when short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/allocator.h"

namespace vg {

// An owner or extra: up to 15 bytes inline; longer ones in an allocation of
// their own (pointer and 32-bit size in the first 12 bytes, last byte marked).
// Trivially copyable; the table releases the allocation.
class ShortBytes {
public:
    static constexpr std::size_t kInlineCapacity = 15;

    std::string_view view() const noexcept {
        const auto mark = static_cast<unsigned char>(bytes_[kMarkAt]);
        if (mark != kOutOfLine) return {bytes_, mark};
        return {heapData(), heapSize()};
    }
    bool outOfLine() const noexcept {
        return static_cast<unsigned char>(bytes_[kMarkAt]) == kOutOfLine;
    }

private:
    friend class KeyTable;
    static constexpr std::size_t kMarkAt = 15;
    static constexpr unsigned char kOutOfLine = 0xFF;

    const char* heapData() const noexcept {
        const char* p;
        std::memcpy(&p, bytes_, sizeof p);
        return p;
    }
    std::uint32_t heapSize() const noexcept {
        std::uint32_t n;
        std::memcpy(&n, bytes_ + sizeof(char*), sizeof n);
        return n;
    }

    char bytes_[16];
};

// The value stored for one key, with the key itself: up to 64 key bytes
// inline (a SHA-256 in hex fits), longer keys in an allocation of their own.
class KeyEntry {
public:
    static constexpr std::size_t kInlineKeyCapacity = 64;

    std::string_view key() const noexcept { return {keyData(), keySize_}; }
    std::string_view owner() const noexcept { return owner_.view(); }  // never empty
    std::string_view extra() const noexcept { return extra_.view(); }  // may be empty

private:
    friend class KeyTable;

    bool keyOutOfLine() const noexcept { return keySize_ > kInlineKeyCapacity; }
    const char* keyData() const noexcept {
        if (!keyOutOfLine()) return key_;
        const char* p;
        std::memcpy(&p, key_, sizeof p);
        return p;
    }

    char key_[kInlineKeyCapacity];
    ShortBytes owner_;
    ShortBytes extra_;
    std::uint32_t keySize_;
    std::uint32_t hashLow_;  // low half of the key's hash; the slot holds the high half
};

static_assert(sizeof(KeyEntry) == 104, "KeyEntry is meant to stay compact");

// 64-bit hash of a key's bytes.
std::uint64_t hashKey(std::string_view key) noexcept;

// skipped: an empty key or owner, or a field beyond 32-bit sizes.
enum class InsertResult : std::uint8_t { added, replaced, skipped, outOfMemory };

// Open-addressing map from key bytes to KeyEntry. Slots are 8 bytes (high 32
// bits of the hash as a tag, low 32 bits entry number + 1, 0 empty), linear
// probing, power-of-two capacity at most 3/4 full. Entries live in one array
// in insertion order, so a lookup touches one slot run and one entry.
// Every block comes from the allocator handle given at construction.
class KeyTable {
public:
    explicit KeyTable(const Allocator& alloc) noexcept : alloc_(&alloc) {}
    ~KeyTable() { release(); }
    KeyTable(KeyTable&& other) noexcept : alloc_(other.alloc_) { swap(other); }
    KeyTable& operator=(KeyTable&& other) noexcept {
        if (this != &other) {
            release();
            alloc_ = other.alloc_;
            swap(other);
        }
        return *this;
    }
    KeyTable(const KeyTable&) = delete;
    KeyTable& operator=(const KeyTable&) = delete;

    // Sizes an empty table for `keys` entries so inserting them never grows it.
    // False (and the table left empty, growing on demand) when the storage
    // cannot be had.
    bool reserve(std::uint64_t keys) noexcept;

    // Copies key, owner and extra in that order and inserts them. A key already
    // present keeps its stored copy and takes the new owner and extra.
    // outOfMemory when a copy cannot be allocated, or when a new key needs the
    // table to grow and it cannot; the table is then as it was.
    InsertResult insert(std::string_view key, std::string_view owner,
                        std::string_view extra) noexcept {
        return insert(key, owner, extra, hashKey(key));
    }
    // The same with `hash` = hashKey(key) computed ahead, as for prefetch().
    InsertResult insert(std::string_view key, std::string_view owner, std::string_view extra,
                        std::uint64_t hash) noexcept;

    // Starts loading the slot where a probe for `hash` begins. A bulk load
    // hashes and prefetches some lines ahead so the slot misses overlap.
    void prefetch(std::uint64_t hash) const noexcept {
        if (capacity_ != 0) __builtin_prefetch(&slots_[hash & (capacity_ - 1)]);
    }

    const KeyEntry* find(std::string_view key) const noexcept;

    std::size_t size() const noexcept { return count_; }
    std::size_t slotCount() const noexcept { return capacity_; }
    // Bytes obtained from the allocator: slots, entries and out-of-line copies.
    std::size_t storageBytes() const noexcept {
        return capacity_ * sizeof(std::uint64_t) + entryCapacity_ * sizeof(KeyEntry) + heapBytes_;
    }

    // Releases every copy and the storage, each block wiped first.
    void release() noexcept;

private:
    static constexpr std::size_t kMinCapacity = 16;
    static constexpr std::size_t kMaxCapacity = std::size_t{1} << 31;

    void swap(KeyTable& other) noexcept;
    // Entry number + 1 of `key`, or 0; `emptyAt` gets the empty slot ending the probe.
    std::uint32_t probe(std::string_view key, std::uint64_t hash,
                        std::size_t* emptyAt) const noexcept;
    bool grow() noexcept;
    // Wipes and releases the slot and entry blocks; the fields are left as they were.
    void releaseStorage() noexcept;
    // Both blocks of a table with `capacity` slots, the slots zeroed; all or nothing.
    bool allocateStorage(std::size_t capacity, std::size_t entryCapacity, std::uint64_t*& slots,
                         KeyEntry*& entries) noexcept;
    bool copyKey(KeyEntry& entry, std::string_view key) noexcept;
    bool copyShort(ShortBytes& out, std::string_view bytes) noexcept;
    void releaseKey(KeyEntry& entry) noexcept;
    void releaseShort(ShortBytes& bytes) noexcept;
    void releaseCopies(KeyEntry& entry) noexcept;

    const Allocator* alloc_;
    std::uint64_t* slots_ = nullptr;
    std::size_t capacity_ = 0;  // slots, a power of two (or 0)
    KeyEntry* entries_ = nullptr;
    std::size_t entryCapacity_ = 0;
    std::size_t count_ = 0;
    std::size_t heapBytes_ = 0;  // out-of-line copies; 0 lets release skip the walk
};

}  // namespace vg
