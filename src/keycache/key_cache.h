// The key cache: the table loaded from the keys file, replaced whole on
// each reload under its lock, with a generation counter.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/allocator.h"
#include "core/config.h"
#include "keycache/key_table.h"
#include "log/mutex.h"
#include "log/result.h"

namespace vg {

class KeyCache {
public:
    // Empty table, generation 0; touches no file. `cacheDir` is borrowed.
    void init(std::string_view cacheDir, HashAlgorithm hashAlgorithm,
              const Allocator& alloc = processAllocator()) noexcept;

    // Reads "<cache_dir>/keys" and installs a new table; takes the lock itself.
    // A missing file is success and changes nothing.
    Status reload() noexcept;

    void lock() noexcept { lock_.lock(); }
    void unlock() noexcept { lock_.unlock(); }

    // The caller holds the lock. The entry stays valid until the next
    // installed table or deinit, even after the lock is released.
    const KeyEntry* lookup(std::string_view key) const noexcept { return table_.find(key); }
    std::uint64_t keyCount() const noexcept { return table_.size(); }
    std::uint64_t generation() const noexcept { return generation_; }

    // Releases everything; takes no lock.
    void deinit() noexcept { table_.release(); }

    HashAlgorithm hash_algorithm = HashAlgorithm::sha256;

private:
    const Allocator* allocator_ = &processAllocator();
    KeyTable table_;
    std::uint64_t generation_ = 0;
    std::string_view cacheDir_;
    Mutex lock_;
};

}  // namespace vg
