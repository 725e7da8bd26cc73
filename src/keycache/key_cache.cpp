// Reloading the key cache: read, build privately, swap under the lock.
#include "keycache/key_cache.h"

#include <cstring>

#include "core/files.h"
#include "keycache/keys_file.h"
#include "log/log.h"

namespace vg {

namespace {

constexpr std::string_view kKeysName = "/keys";

// Inserts the accepted lines of `file` in order; returns how many reached the
// table. Lines are hashed a few ahead of their insertion and their slots
// prefetched: at 16 MiB the slot array is larger than the cache, and waiting
// for each slot in turn would dominate the build.
std::uint64_t buildTable(KeyTable& table, std::string_view file) noexcept {
    constexpr std::size_t kAhead = 16;
    struct Pending {
        KeyLine line;
        std::uint64_t hash;
    };
    Pending ring[kAhead];
    std::size_t queued = 0;
    std::size_t next = 0;  // oldest pending line
    std::uint64_t accepted = 0;
    auto insertOldest = [&]() noexcept {
        const Pending& p = ring[next];
        if (table.insert(p.line.key, p.line.owner, p.line.extra, p.hash) != InsertResult::skipped) {
            ++accepted;
        }
        next = (next + 1) % kAhead;
        --queued;
    };
    KeyLineReader lines(file);
    KeyLine line;
    while (lines.next(line)) {
        if (queued == kAhead) insertOldest();
        Pending& p = ring[(next + queued) % kAhead];
        p.line = line;
        p.hash = hashKey(line.key);
        table.prefetch(p.hash);
        ++queued;
    }
    while (queued != 0) insertOldest();
    return accepted;
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
    // the table starts small and grows while it can (see KeyTable::insert).
    KeyTable fresh(allocator_);
    (void)fresh.reserve(countKeyLines(file.view()));
    const std::uint64_t accepted = buildTable(fresh, file.view());

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
