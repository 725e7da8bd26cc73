// Key cache reloads: read and parse outside the lock, swap under it.
#include "keycache/key_cache.h"

#include <cstring>

#include "core/files.h"
#include "keycache/keys_file.h"
#include "log/log.h"

namespace vg {

void KeyCache::init(std::string_view cacheDir, HashAlgorithm hashAlgorithm,
                    const Allocator& alloc) noexcept {
    allocator_ = &alloc;
    cacheDir_ = cacheDir;
    hash_algorithm = hashAlgorithm;
    generation_ = 0;
    table_.release();
}

Status KeyCache::reload() noexcept {
    constexpr std::string_view kSuffix = "/keys";
    char path[kPathBufferSize];
    if (cacheDir_.size() + kSuffix.size() > sizeof(path)) return ErrorCode::PathTooLong;
    std::memcpy(path, cacheDir_.data(), cacheDir_.size());
    std::memcpy(path + cacheDir_.size(), kSuffix.data(), kSuffix.size());
    const std::string_view keysPath(path, cacheDir_.size() + kSuffix.size());

    Result<OwnedBytes> file = readWholeFile(keysPath, kKeysFileLimit, *allocator_);
    if (!file) {
        if (file.error() == ErrorCode::FileNotFound) {
            logLine(LogLevel::warning, LogScope::keycache, "keys file not found: ", keysPath);
            return {};
        }
        logLine(LogLevel::error, LogScope::keycache, "failed to read keys file: ", file.error());
        return file.error();
    }
    const std::string_view text = file->view();

    // Sized once for the file: every line could be a key, so no growth is needed.
    KeyTable fresh;
    (void)fresh.reserve(*allocator_, countLines(text));
    std::uint64_t accepted = 0;
    KeyLineReader lines(text);
    for (KeyLine line; lines.next(line);) {
        if (fresh.insert(line.key, line.owner, line.extra) != KeyTable::Insert::skipped) ++accepted;
    }

    {
        LockGuard<Mutex> hold(lock_);
        table_ = static_cast<KeyTable&&>(fresh);  // releases the old table first
        ++generation_;
        logLine(LogLevel::info, LogScope::keycache, "reloaded ", accepted, " key(s) (generation ",
                generation_, ")");
    }
    return {};  // the file buffer is released on the way out
}

}  // namespace vg
