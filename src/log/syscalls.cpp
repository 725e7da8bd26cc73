// System-call wrappers and their errno tables.
#include "log/syscalls.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <initializer_list>

#include "platform/unix_socket.h"

namespace vg::sys {

namespace {

struct Mapping {
    int err;
    ErrorCode code;
};
using Table = std::initializer_list<Mapping>;
using E = ErrorCode;

// Written with symbolic errno names so the tables hold on every system.
const Table kSocket{{ENOMEM, E::SystemResources},
                    {ENOBUFS, E::SystemResources},
                    {EACCES, E::AccessDenied},
                    {EINVAL, E::ProtocolFamilyNotAvailable},
                    {ENFILE, E::SystemFdQuotaExceeded},
                    {EMFILE, E::ProcessFdQuotaExceeded},
                    {EPROTOTYPE, E::SocketTypeNotSupported},
                    {EPROTONOSUPPORT, E::ProtocolNotSupported},
                    {EAFNOSUPPORT, E::AddressFamilyNotSupported}};
const Table kBind{{EPERM, E::AccessDenied},
                  {EACCES, E::AccessDenied},
                  {ENOENT, E::FileNotFound},
                  {ENOMEM, E::SystemResources},
                  {ENOTDIR, E::NotDir},
                  {EROFS, E::ReadOnlyFileSystem},
                  {EAFNOSUPPORT, E::AddressFamilyNotSupported},
                  {EADDRINUSE, E::AddressInUse},
                  {EADDRNOTAVAIL, E::AddressNotAvailable},
                  {ELOOP, E::SymLinkLoop},
                  {ENAMETOOLONG, E::NameTooLong}};
const Table kListen{{ENOTSOCK, E::FileDescriptorNotASocket},
                    {EOPNOTSUPP, E::OperationNotSupported},
                    {EADDRINUSE, E::AddressInUse}};
const Table kFdQuota{{ENFILE, E::SystemFdQuotaExceeded}, {EMFILE, E::ProcessFdQuotaExceeded}};
const Table kFchmodat{{EPERM, E::PermissionDenied},
                      {ENOENT, E::FileNotFound},
                      {ENOTDIR, E::FileNotFound},
                      {EIO, E::InputOutput},
                      {ENOMEM, E::SystemResources},
                      {EACCES, E::AccessDenied},
                      {ENFILE, E::SystemFdQuotaExceeded},
                      {EMFILE, E::ProcessFdQuotaExceeded},
                      {EROFS, E::ReadOnlyFileSystem},
                      {EOPNOTSUPP, E::OperationNotSupported},
                      {ELOOP, E::SymLinkLoop},
                      {ENAMETOOLONG, E::NameTooLong}};
const Table kOpenat{{EPERM, E::PermissionDenied},
                    {ENOENT, E::FileNotFound},
                    {ESRCH, E::ProcessNotFound},
                    {ENXIO, E::NoDevice},
                    {ENODEV, E::NoDevice},
                    {ENOMEM, E::SystemResources},
                    {EBUSY, E::DeviceBusy},
                    {EEXIST, E::PathAlreadyExists},
                    {EACCES, E::AccessDenied},
                    {ENOTDIR, E::NotDir},
                    {EISDIR, E::IsDir},
                    {EINVAL, E::BadPathName},
                    {ENFILE, E::SystemFdQuotaExceeded},
                    {EMFILE, E::ProcessFdQuotaExceeded},
                    {ETXTBSY, E::FileBusy},
                    {EFBIG, E::FileTooBig},
                    {EOVERFLOW, E::FileTooBig},
                    {ENOSPC, E::NoSpaceLeft},
                    {EAGAIN, E::WouldBlock},
                    {EOPNOTSUPP, E::FileLocksNotSupported},
                    {EROFS, E::ReadOnlyFileSystem},
                    {EDQUOT, E::DiskQuota},
                    {ELOOP, E::SymLinkLoop},
                    // FreeBSD: open(O_NOFOLLOW) of a symbolic link (vn_open_vnode).
                    {EMLINK, E::SymLinkLoop},
                    {ENAMETOOLONG, E::NameTooLong}};
const Table kUnlinkat{{EPERM, E::PermissionDenied},
                      {EACCES, E::AccessDenied},
                      {ENOENT, E::FileNotFound},
                      {ENOTDIR, E::NotDir},
                      {EISDIR, E::IsDir},
                      {EBUSY, E::DeviceBusy},
                      {EIO, E::InputOutput},
                      {ENOMEM, E::SystemResources},
                      {EROFS, E::ReadOnlyFileSystem},
                      {ELOOP, E::SymLinkLoop},
                      {ENAMETOOLONG, E::NameTooLong}};
const Table kFstat{{ENOMEM, E::SystemResources}, {EACCES, E::AccessDenied}};
const Table kRead{{ESRCH, E::ProcessNotFound},       {EIO, E::InputOutput},
                  {EBADF, E::NotOpenForReading},     {ENOMEM, E::SystemResources},
                  {ENOBUFS, E::SystemResources},     {EISDIR, E::IsDir},
                  {EAGAIN, E::WouldBlock},           {ECONNRESET, E::ConnectionResetByPeer},
                  {ENOTCONN, E::SocketNotConnected}, {ETIMEDOUT, E::ConnectionTimedOut},
                  {ECANCELED, E::Canceled}};
const Table kWrite{{EPERM, E::PermissionDenied},  {ESRCH, E::ProcessNotFound},
                   {EIO, E::InputOutput},         {ENXIO, E::NoDevice},
                   {EBADF, E::NotOpenForWriting}, {EACCES, E::AccessDenied},
                   {EBUSY, E::DeviceBusy},        {EINVAL, E::InvalidArgument},
                   {EFBIG, E::FileTooBig},        {ENOSPC, E::NoSpaceLeft},
                   {EPIPE, E::BrokenPipe},        {EAGAIN, E::WouldBlock},
                   {EMSGSIZE, E::MessageTooBig},  {ECONNRESET, E::ConnectionResetByPeer},
                   {EDQUOT, E::DiskQuota}};
// The last two come from the Linux backend, whose directory watch needs a
// descriptor (an inotify instance, limited per user as well).
const Table kKevent{{ENOENT, E::EventNotFound},         {ESRCH, E::ProcessNotFound},
                    {ENOMEM, E::SystemResources},       {EACCES, E::AccessDenied},
                    {ENFILE, E::SystemFdQuotaExceeded}, {EMFILE, E::ProcessFdQuotaExceeded}};

const Table& tableFor(Call call) noexcept {
    switch (call) {
        case Call::Socket: return kSocket;
        case Call::Bind: return kBind;
        case Call::Listen: return kListen;
        case Call::Pipe:
        case Call::Kqueue: return kFdQuota;
        case Call::Fchmodat: return kFchmodat;
        case Call::Openat: return kOpenat;
        case Call::Unlinkat: return kUnlinkat;
        case Call::Fstat: return kFstat;
        case Call::Read: return kRead;
        case Call::Write: return kWrite;
        case Call::Kevent: return kKevent;
    }
    return kKevent;
}

constexpr std::size_t kMaxIo = SSIZE_MAX;

}  // namespace

ErrorCode fromErrno(Call call, int err) noexcept {
    for (const Mapping& m : tableFor(call)) {
        if (m.err == err) return m.code;
    }
    return ErrorCode::Unexpected;
}

Result<int> socket(int domain, int type, int protocol) noexcept {
    int fd = ::socket(domain, type, protocol);
    if (fd < 0) return fromErrno(Call::Socket, errno);
    return fd;
}

Status bindUnix(int fd, std::string_view path) noexcept {
    // Cut short at a NUL byte by the system; on Linux a leading one would
    // even name an abstract socket that no client finds.
    if (path.find('\0') != std::string_view::npos) return ErrorCode::BadPathName;
    if (platform::bindUnix(fd, path) != 0) return fromErrno(Call::Bind, errno);
    return {};
}

Status listen(int fd, int backlog) noexcept {
    if (::listen(fd, backlog) != 0) return fromErrno(Call::Listen, errno);
    return {};
}

Result<PipeEnds> pipe() noexcept {
    int fds[2];
    // pipe2: FreeBSD 10 and Linux 2.6.27 on.
    if (::pipe2(fds, O_CLOEXEC) != 0) return fromErrno(Call::Pipe, errno);
    return PipeEnds{fds[0], fds[1]};
}

Result<platform::Kqueue> kqueue() noexcept {
    platform::Kqueue kq = platform::kqueue();
    if (kq.fd < 0) return fromErrno(Call::Kqueue, errno);
    return kq;
}

Result<int> kevent(platform::Kqueue kq, const platform::KEvent* changes, int nchanges,
                   platform::KEvent* events, int nevents, const struct timespec* timeout) noexcept {
    for (;;) {
        int n = platform::kevent(kq, changes, nchanges, events, nevents, timeout);
        if (n >= 0) return n;
        if (errno != EINTR) return fromErrno(Call::Kevent, errno);
    }
}

Status fchmodat(int dirfd, const char* path, mode_t mode, int flags) noexcept {
    for (;;) {
        if (::fchmodat(dirfd, path, mode, flags) == 0) return {};
        if (errno != EINTR) return fromErrno(Call::Fchmodat, errno);
    }
}

Result<int> openat(int dirfd, const char* path, int flags, mode_t mode) noexcept {
    for (;;) {
        int fd = ::openat(dirfd, path, flags, mode);
        if (fd >= 0) return fd;
        if (errno != EINTR) return fromErrno(Call::Openat, errno);
    }
}

Result<struct stat> fstat(int fd) noexcept {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fromErrno(Call::Fstat, errno);
    return st;
}

Status unlinkat(int dirfd, const char* path, int flags) noexcept {
    if (::unlinkat(dirfd, path, flags) != 0) return fromErrno(Call::Unlinkat, errno);
    return {};
}

Result<std::size_t> read(int fd, void* buf, std::size_t count) noexcept {
    if (count == 0) return std::size_t{0};
    if (count > kMaxIo) count = kMaxIo;
    for (;;) {
        ssize_t n = ::read(fd, buf, count);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return fromErrno(Call::Read, errno);
    }
}

Result<std::size_t> write(int fd, const void* buf, std::size_t count) noexcept {
    if (count == 0) return std::size_t{0};
    if (count > kMaxIo) count = kMaxIo;
    for (;;) {
        ssize_t n = ::write(fd, buf, count);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return fromErrno(Call::Write, errno);
    }
}

Result<int> accept4(int fd, int flags) noexcept {
    for (;;) {
        int conn = ::accept4(fd, nullptr, nullptr, flags);
        if (conn >= 0) return conn;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return ErrorCode::WouldBlock;
        // Out of descriptors: the connection stays queued (both systems).
        if (errno == EMFILE) return ErrorCode::ProcessFdQuotaExceeded;
        if (errno == ENFILE) return ErrorCode::SystemFdQuotaExceeded;
        if (errno != EINTR) return ErrorCode::Unexpected;
    }
}

Status tryLockExclusive(int fd) noexcept {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return {};
        switch (errno) {
            case EINTR: continue;
            case EWOULDBLOCK: return ErrorCode::WouldBlock;
            case EOPNOTSUPP: return ErrorCode::FileLocksNotSupported;
            case ENOLCK: return ErrorCode::SystemResources;
            default: return ErrorCode::Unexpected;
        }
    }
}

void shutdownRead(int fd) noexcept {
    (void)::shutdown(fd, SHUT_RD);
}

bool inputPending(int fd) noexcept {
    char byte = 0;
    for (;;) {
        if (::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) >= 0) return true;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
        if (errno != EINTR) return true;
    }
}

bool readableNow(int fd) noexcept {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int n = ::poll(&p, 1, 0);
        if (n >= 0) return n == 1 && (p.revents & POLLIN) != 0;
        if (errno != EINTR) return false;
    }
}

void close(int fd) noexcept {
    (void)::close(fd);
}

}  // namespace vg::sys
