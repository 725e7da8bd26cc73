// System-call wrappers: each makes its call and turns errno into an ErrorCode
// by a fixed per-call table. openat, read, write, fchmodat, kevent and
// accept4 are issued again when interrupted; the others are not.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <cstddef>
#include <string_view>

#include "log/result.h"
#include "platform/kqueue.h"

namespace vg::sys {

// The calls that own an errno table.
enum class Call {
    Socket,
    Bind,
    Listen,
    Pipe,
    Kqueue,
    Fchmodat,
    Openat,
    Unlinkat,
    Fstat,
    Read,
    Write,
    Kevent
};

// errno of a failed `call` as an ErrorCode; an errno the table does not list
// (EINTR included for the calls that are not retried) gives Unexpected.
ErrorCode fromErrno(Call call, int err) noexcept;

Result<int> socket(int domain, int type, int protocol) noexcept;
Status bindUnix(int fd, std::string_view path) noexcept;
Status listen(int fd, int backlog) noexcept;

struct PipeEnds {
    int read = -1;
    int write = -1;
};
Result<PipeEnds> pipe() noexcept;

Result<platform::Kqueue> kqueue() noexcept;
Result<int> kevent(platform::Kqueue kq, const platform::KEvent* changes, int nchanges,
                   platform::KEvent* events, int nevents, const struct timespec* timeout) noexcept;

Status fchmodat(int dirfd, const char* path, mode_t mode, int flags) noexcept;
// `mode` counts only with O_CREAT.
Result<int> openat(int dirfd, const char* path, int flags, mode_t mode = 0) noexcept;
Result<struct stat> fstat(int fd) noexcept;
Status unlinkat(int dirfd, const char* path, int flags) noexcept;
Result<std::size_t> read(int fd, void* buf, std::size_t count) noexcept;
Result<std::size_t> write(int fd, const void* buf, std::size_t count) noexcept;

// accept4 without a peer address; retried on EINTR. A failure ends the
// accept pass; only running out of descriptors (ProcessFdQuotaExceeded,
// SystemFdQuotaExceeded) and WouldBlock are told apart, everything else is
// Unexpected.
Result<int> accept4(int fd, int flags) noexcept;

// flock(LOCK_EX | LOCK_NB): WouldBlock while another open file holds it.
Status tryLockExclusive(int fd) noexcept;

// shutdown(fd, SHUT_RD) on a connected Unix stream socket, so that a peer
// that writes again learns at once that nothing more is read, and can
// reconnect, instead of seeing its request vanish when the socket closes.
// Linux: unix_shutdown() marks the peer's send side shut too, and its next
// write fails with EPIPE. FreeBSD's new stream code (main; 15-CURRENT after
// 1500036) refuses a send into a receive buffer that can receive no more
// with EPIPE as well. The old code's soshutdown() (14, early 15-CURRENT)
// only flushes and marks our own receive buffer for SHUT_RD (the protocol's shutdown, which would
// reach the peer, runs for the write side only), so the peer's write is queued and dropped at
// close; nothing short of close(2) refuses it there. platform::readShutdownEffect() asks the
// running kernel which it is. (The FreeBSD behaviour is read from its kernel sources; only the
// Linux one is exercised by the tests here.) Failure is ignored: a peer that has gone needs no
// refusing.
void shutdownRead(int fd) noexcept;

// True when a read on the socket would not block: bytes, the end of the
// stream or an error are waiting. Peeks, so nothing is consumed.
bool inputPending(int fd) noexcept;

// True when poll(2) reports `fd` readable now; for a listening socket, that
// a connection is waiting to be accepted.
bool readableNow(int fd) noexcept;

// close(2); failures are of no use to anyone and are ignored.
void close(int fd) noexcept;

// Owns a descriptor and closes it once, on every path.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Owns an event queue and closes it with everything it holds, once.
class UniqueKqueue {
public:
    explicit UniqueKqueue(platform::Kqueue kq) noexcept : kq_(kq) {}
    UniqueKqueue(const UniqueKqueue&) = delete;
    UniqueKqueue& operator=(const UniqueKqueue&) = delete;
    ~UniqueKqueue() { reset(); }

    platform::Kqueue get() const noexcept { return kq_; }
    void reset() noexcept {
        platform::closeKqueue(kq_);
        kq_ = {};
    }

private:
    platform::Kqueue kq_;
};

}  // namespace vg::sys
