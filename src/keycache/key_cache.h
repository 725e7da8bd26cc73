// The key cache: the table loaded from "<cache_dir>/keys", replaced whole on
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

// The keys file's size limit: a file of exactly this many bytes loads.
inline constexpr std::size_t kKeysFileLimit = 16'777'216;

class KeyCache {
public:
    KeyCache() noexcept = default;
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;

    // Empty table, generation 0; touches no file. `cacheDir` is borrowed and
    // must outlive the cache; `alloc` is copied.
    void init(std::string_view cacheDir, HashAlgorithm hashAlgorithm,
              const Allocator& alloc = processAllocator()) noexcept;

    // Reads the keys file and installs a new table. Takes the lock itself.
    // A missing file is success and changes nothing.
    Status reload() noexcept;

    void lock() noexcept { mutex_.lock(); }
    void unlock() noexcept { mutex_.unlock(); }

    // The caller holds the lock. The entry stays valid until the next reload
    // installs a table or deinit, whether or not the lock is still held.
    const KeyEntry* lookup(std::string_view key) const noexcept { return table_.find(key); }
    // Distinct keys; the caller holds the lock.
    std::uint64_t keyCount() const noexcept { return table_.size(); }
    // Reloads that installed a table; the caller holds the lock.
    std::uint64_t generation() const noexcept { return generation_; }

    // Read by the credential check; the cache itself never uses it.
    HashAlgorithm hash_algorithm = HashAlgorithm::sha256;

    // Releases every copy and the table's storage. Takes no lock.
    void deinit() noexcept { table_.release(); }

private:
    Allocator allocator_ = processAllocator();
    KeyTable table_{allocator_};  // declared after allocator_, which it points to
    std::uint64_t generation_ = 0;
    std::string_view cacheDir_ = kDefaultCacheDir;
    Mutex mutex_;
};

}  // namespace vg
