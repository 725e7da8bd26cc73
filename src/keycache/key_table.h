// The key table: open addressing over a dense entry array, sized once for a
// whole keys file and never grown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/allocator.h"
#include "keycache/stored_bytes.h"

namespace vg {

// The value stored per key.
class KeyEntry {
public:
    std::string_view owner() const noexcept { return owner_.view(); }
    std::string_view extra() const noexcept { return extra_.view(); }

private:
    friend class KeyTable;
    // Sized for the common keys file: owners and extras of a few words inline.
    StoredBytes<20> owner_;
    StoredBytes<12> extra_;
};

class KeyTable {
public:
    enum class Insert : std::uint8_t { added, replaced, skipped };

    KeyTable() noexcept = default;
    KeyTable(KeyTable&& other) noexcept { *this = static_cast<KeyTable&&>(other); }
    KeyTable& operator=(KeyTable&& other) noexcept;
    KeyTable(const KeyTable&) = delete;
    KeyTable& operator=(const KeyTable&) = delete;
    ~KeyTable() { release(); }

    // Storage for up to `maxEntries` keys. On failure the table stays without
    // storage and every new key is skipped, as a table that cannot grow.
    bool reserve(const Allocator& alloc, std::size_t maxEntries) noexcept;

    // Copies the three fields in; a key already present keeps its stored key
    // and takes the new owner and extra.
    Insert insert(std::string_view key, std::string_view owner, std::string_view extra) noexcept;

    // No allocation: one hash, and a whole-key comparison on a tag match.
    const KeyEntry* find(std::string_view key) const noexcept;

    std::size_t size() const noexcept { return count_; }
    // Releases every out-of-line copy and the storage; the table is then empty.
    void release() noexcept;

    static std::uint64_t hash(std::string_view key) noexcept;

private:
    struct Slot {
        StoredBytes<68> key;  // a lowercase hex SHA-256 key fits inline
        KeyEntry entry;
    };
    static_assert(sizeof(Slot) == 112, "keep the slot compact: it is paid per key");

    // Index word: high 32 bits a tag from the hash, low 32 bits entry number + 1; 0 empty.
    std::uint64_t* findIndex(std::string_view key, std::uint64_t h) const noexcept;

    const Allocator* alloc_ = nullptr;
    std::uint64_t* index_ = nullptr;
    std::size_t indexSize_ = 0;  // power of two
    Slot* entries_ = nullptr;
    std::size_t entryCapacity_ = 0;
    std::size_t count_ = 0;
    std::size_t heapCopies_ = 0;  // out-of-line copies: release walks entries only when > 0
};

}  // namespace vg
