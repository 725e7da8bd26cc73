// Whole-file reads with a byte limit, and whitespace trimming.
#pragma once

#include <sodium.h>
#include <cstddef>
#include <string_view>
#include <utility>

#include "core/allocator.h"
#include "log/result.h"

namespace vg {

// Paths handed to the system go through fixed buffers of this size.
inline constexpr std::size_t kPathBufferSize = 1024;

// Copies `path` into `out` with a terminator. NameTooLong when it does not
// fit; BadPathName when it holds a NUL byte, at which the system would cut it.
Status copyPath(std::string_view path, char (&out)[kPathBufferSize]) noexcept;

// Opens the directory at `path` read-only, close-on-exec, for a vnode watch.
Result<int> openDirectoryForWatching(std::string_view path) noexcept;

// Reads the file at `path` (relative to the working directory). More than
// `limit` bytes gives FileTooBig; reading stops at limit + 1 bytes, so a FIFO
// or an endless device cannot make it read or allocate more.
Result<OwnedBytes> readWholeFile(std::string_view path, std::size_t limit,
                                 const Allocator& alloc = processAllocator()) noexcept;

// readWholeFile's reading step, on a descriptor opened for blocking reads;
// the caller keeps and closes it.
Result<OwnedBytes> readOpenFile(int fd, std::size_t limit,
                                const Allocator& alloc = processAllocator()) noexcept;

// A file buffer wiped before it goes back: with hash_algorithm = none the
// keys file holds the passwords themselves.
class WipedBytes {
public:
    explicit WipedBytes(OwnedBytes&& bytes) noexcept : bytes_(std::move(bytes)) {}
    ~WipedBytes() {
        if (bytes_.size() != 0) sodium_memzero(bytes_.data(), bytes_.size());
    }
    WipedBytes(const WipedBytes&) = delete;
    WipedBytes& operator=(const WipedBytes&) = delete;
    std::string_view view() const noexcept { return bytes_.view(); }

private:
    OwnedBytes bytes_;
};

// Without leading and trailing space, tab, LF, CR, VT and FF. Does not copy.
std::string_view trimWhitespace(std::string_view bytes) noexcept;

}  // namespace vg
