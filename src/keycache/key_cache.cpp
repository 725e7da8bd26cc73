// Reloading the key cache: read, build privately, swap under the lock.
#include "keycache/key_cache.h"

#include <cstring>

#include "core/files.h"
#include "keycache/keys_file.h"
#include "log/log.h"

namespace vg {

namespace {

// Inserts the accepted lines of `file` in order and counts those that reached
// the table; false, at once, when one could not be stored for lack of memory.
// Lines are hashed a few ahead of their insertion and their slots
// prefetched: at 16 MiB the slot array is larger than the cache, and waiting
// for each slot in turn would dominate the build.
bool buildTable(KeyTable& table, std::string_view file, std::uint64_t& accepted) noexcept {
    constexpr std::size_t kAhead = 16;
    struct Pending {
        KeyLine line;
        std::uint64_t hash;
    };
    Pending ring[kAhead];
    std::size_t queued = 0;
    std::size_t next = 0;  // oldest pending line
    bool stored = true;
    auto insertOldest = [&]() noexcept {
        const Pending& p = ring[next];
        const InsertResult result = table.insert(p.line.key, p.line.owner, p.line.extra, p.hash);
        if (result == InsertResult::outOfMemory) stored = false;
        if (result == InsertResult::added || result == InsertResult::replaced) ++accepted;
        next = (next + 1) % kAhead;
        --queued;
    };
    KeyLineReader lines(file);
    KeyLine line;
    while (stored && lines.next(line)) {
        if (queued == kAhead) insertOldest();
        Pending& p = ring[(next + queued) % kAhead];
        p.line = line;
        p.hash = hashKey(line.key);
        table.prefetch(p.hash);
        ++queued;
    }
    while (stored && queued != 0) insertOldest();
    return stored;
}

}  // namespace

void KeyCache::init(std::string_view cacheDir, HashAlgorithm hashAlgorithm,
                    const Allocator& alloc) noexcept {
    table_.release();  // with the allocator it was built from
    allocator_ = alloc;
    generation_ = 0;
    cacheDir_ = cacheDir;
    hash_algorithm = hashAlgorithm;
}

Status KeyCache::reload() noexcept {
    // The path needs no terminator here: readWholeFile makes its own copy and
    // refuses a 1024-byte path with NameTooLong.
    char path[kPathBufferSize];
    if (cacheDir_.size() > sizeof path - kKeysName.size()) return ErrorCode::PathTooLong;
    std::memcpy(path, cacheDir_.data(), cacheDir_.size());
    std::memcpy(path + cacheDir_.size(), kKeysName.data(), kKeysName.size());
    const std::string_view keysPath(path, cacheDir_.size() + kKeysName.size());

    Result<OwnedBytes> read = readWholeFile(keysPath, kKeysFileLimit, allocator_);
    if (!read) {
        if (read.error() == ErrorCode::FileNotFound) {
            logLine(LogLevel::warning, LogScope::keycache, "keys file not found: ", keysPath);
            return {};
        }
        logLine(LogLevel::error, LogScope::keycache, "failed to read keys file: ", read.error());
        return read.error();
    }
    const WipedBytes file(std::move(read.value()));

    // Sized once from the exact count of accepted lines. Without that storage
    // the table starts small and grows as the lines come.
    KeyTable fresh(allocator_);
    (void)fresh.reserve(countKeyLines(file.view()));
    std::uint64_t accepted = 0;
    if (!buildTable(fresh, file.view(), accepted)) {
        // A table without some lines would refuse their keys as if they had
        // been withdrawn: the one in use stays, as when the file cannot be read.
        logLine(LogLevel::error, LogScope::keycache,
                "failed to read keys file: ", ErrorCode::OutOfMemory);
        return ErrorCode::OutOfMemory;
    }

    {
        LockGuard<Mutex> hold(mutex_);
        table_ = std::move(fresh);  // releases the old table first
        ++generation_;
        logLine(LogLevel::info, LogScope::keycache, "reloaded ", accepted, " key(s) (generation ",
                generation_, ")");
    }
    return {};  // the file buffer is wiped and released here, after the lock
}

}  // namespace vg
