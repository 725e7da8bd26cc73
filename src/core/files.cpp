// Whole-file reads and trimming, shared by the configuration and keys readers.
#include "core/files.h"

#include <fcntl.h>
#include <sodium.h>

#include "log/syscalls.h"

namespace vg {

Status copyPath(std::string_view path, char (&out)[kPathBufferSize]) noexcept {
    if (path.size() >= kPathBufferSize) return ErrorCode::NameTooLong;
    if (path.find('\0') != std::string_view::npos) return ErrorCode::BadPathName;
    // An empty view may have no data at all, which memcpy must not be given.
    if (!path.empty()) std::memcpy(out, path.data(), path.size());
    out[path.size()] = '\0';
    return {};
}

Result<int> openDirectoryForWatching(std::string_view path) noexcept {
    char cpath[kPathBufferSize];
    if (Status copied = copyPath(path, cpath); !copied) return copied.error();
    // Without O_VERIFY: on a FreeBSD host that enforces verified files
    // (mac_veriexec), a directory has no fingerprint and the open would fail
    // with EAUTH, silently leaving reloads to SIGHUP. The descriptor is only
    // watched, never read; the keys file has an open of its own.
    return sys::openat(AT_FDCWD, cpath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

namespace {

// A buffer that grows through the allocator and frees itself on error paths.
// What it read is wiped before a block goes back: it may be the keys file.
class GrowBuffer {
public:
    explicit GrowBuffer(const Allocator& alloc) noexcept : alloc_(alloc) {}
    ~GrowBuffer() { releaseData(); }
    GrowBuffer(const GrowBuffer&) = delete;
    GrowBuffer& operator=(const GrowBuffer&) = delete;

    bool resize(std::size_t capacity) noexcept {
        char* fresh = static_cast<char*>(alloc_.allocate(capacity));
        if (fresh == nullptr) return false;
        if (size_ > 0) std::memcpy(fresh, data_, size_);
        releaseData();
        data_ = fresh;
        capacity_ = capacity;
        return true;
    }

    bool shrinkToSize() noexcept {
        if (size_ == capacity_) return true;
        if (size_ == 0) {
            alloc_.release(data_, capacity_);
            data_ = nullptr;
            capacity_ = 0;
            return true;
        }
        char* smaller = static_cast<char*>(alloc_.shrink(data_, capacity_, size_));
        if (smaller == nullptr) return false;
        data_ = smaller;
        capacity_ = size_;
        return true;
    }

    OwnedBytes take() noexcept {
        OwnedBytes out(alloc_, data_, size_);
        data_ = nullptr;
        capacity_ = 0;
        size_ = 0;
        return out;
    }

    char* data() noexcept { return data_; }
    std::size_t capacity() const noexcept { return capacity_; }
    std::size_t size() const noexcept { return size_; }
    void grew(std::size_t n) noexcept { size_ += n; }

private:
    void releaseData() noexcept {
        if (size_ > 0) sodium_memzero(data_, size_);
        alloc_.release(data_, capacity_);
    }

    const Allocator& alloc_;
    char* data_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

}  // namespace

Result<OwnedBytes> readWholeFile(std::string_view path, std::size_t limit,
                                 const Allocator& alloc) noexcept {
    char cpath[kPathBufferSize];
    if (Status copied = copyPath(path, cpath); !copied) return copied.error();

    // Opened non-blocking so that a FIFO without a writer cannot hang the
    // daemon in open; reads are blocking again afterwards (a FIFO without a
    // writer then reads as empty, an endless one ends at the limit).
    Result<int> opened = sys::openat(AT_FDCWD, cpath, O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (!opened) return opened.error();
    sys::UniqueFd fd(opened.value());
    int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) (void)::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return readOpenFile(fd.get(), limit, alloc);
}

Result<OwnedBytes> readOpenFile(int fd, std::size_t limit, const Allocator& alloc) noexcept {
    Result<struct stat> st = sys::fstat(fd);
    if (!st) return st.error();

    // One byte past the limit is enough to know the file is too big.
    const std::size_t hardCap = limit + 1;
    std::size_t hint = st->st_size > 0 ? static_cast<std::size_t>(st->st_size) : 0;
    std::size_t first = hint == 0 ? 1024 : hint;
    // Room for one byte beyond the reported size, so end of file is seen without growing.
    if (hint != 0 && first < hardCap) ++first;
    if (first > hardCap) first = hardCap;

    GrowBuffer buf(alloc);
    if (!buf.resize(first)) return ErrorCode::OutOfMemory;
    for (;;) {
        if (buf.size() == buf.capacity()) {
            if (buf.capacity() >= hardCap) return ErrorCode::FileTooBig;
            std::size_t next = buf.capacity() * 2;
            if (next > hardCap || next < buf.capacity()) next = hardCap;
            if (!buf.resize(next)) return ErrorCode::OutOfMemory;
        }
        Result<std::size_t> got =
            sys::read(fd, buf.data() + buf.size(), buf.capacity() - buf.size());
        if (!got) return got.error();
        if (got.value() == 0) break;
        buf.grew(got.value());
        if (buf.size() > limit) return ErrorCode::FileTooBig;
    }

    // Exact length, so the caller holds no slack.
    if (!buf.shrinkToSize()) return ErrorCode::OutOfMemory;
    return buf.take();
}

std::string_view trimWhitespace(std::string_view bytes) noexcept {
    auto isSpace = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    };
    std::size_t begin = 0;
    std::size_t end = bytes.size();
    while (begin < end && isSpace(bytes[begin])) ++begin;
    while (end > begin && isSpace(bytes[end - 1])) --end;
    return bytes.substr(begin, end - begin);
}

}  // namespace vg
