// errno tables of the system-call wrappers, and the wrappers' edge rules.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

#include "log/syscalls.h"

namespace vg::sys {
namespace {

TEST(FromErrno, TablesPerCall) {
    struct Case {
        Call call;
        int err;
        ErrorCode code;
    };
    using E = ErrorCode;
    const Case cases[] = {
        {Call::Socket, ENOBUFS, E::SystemResources},
        {Call::Socket, EINVAL, E::ProtocolFamilyNotAvailable},
        {Call::Socket, EINTR, E::Unexpected},  // not retried, not listed
        {Call::Bind, EPERM, E::AccessDenied},
        {Call::Bind, EADDRINUSE, E::AddressInUse},
        {Call::Bind, ENOENT, E::FileNotFound},
        {Call::Bind, ENAMETOOLONG, E::NameTooLong},
        {Call::Listen, EOPNOTSUPP, E::OperationNotSupported},
        {Call::Pipe, EMFILE, E::ProcessFdQuotaExceeded},
        {Call::Pipe, EFAULT, E::Unexpected},
        {Call::Kqueue, ENFILE, E::SystemFdQuotaExceeded},
        {Call::Fchmodat, ENOTDIR, E::FileNotFound},
        {Call::Fchmodat, EPERM, E::PermissionDenied},
        {Call::Openat, EPERM, E::PermissionDenied},
        {Call::Openat, ENXIO, E::NoDevice},
        {Call::Openat, ENODEV, E::NoDevice},
        {Call::Openat, EOVERFLOW, E::FileTooBig},
        {Call::Openat, EINVAL, E::BadPathName},
        {Call::Openat, EOPNOTSUPP, E::FileLocksNotSupported},
        {Call::Openat, EAGAIN, E::WouldBlock},
        {Call::Openat, EMLINK, E::SymLinkLoop},  // FreeBSD's O_NOFOLLOW on a link
        {Call::Openat, EROFS, E::ReadOnlyFileSystem},
        {Call::Unlinkat, EACCES, E::AccessDenied},
        {Call::Fstat, EACCES, E::AccessDenied},
        {Call::Fstat, EIO, E::Unexpected},
        {Call::Read, EBADF, E::NotOpenForReading},
        {Call::Read, ECANCELED, E::Canceled},
        {Call::Read, ENOTCONN, E::SocketNotConnected},
        {Call::Write, EBADF, E::NotOpenForWriting},
        {Call::Write, EPIPE, E::BrokenPipe},
        {Call::Write, EDQUOT, E::DiskQuota},
        {Call::Write, EMSGSIZE, E::MessageTooBig},
        {Call::Kevent, ENOENT, E::EventNotFound},
        {Call::Kevent, EBADF, E::Unexpected},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fromErrno(c.call, c.err), c.code)
            << "call " << static_cast<int>(c.call) << " errno " << c.err;
    }
}

TEST(Wrappers, ZeroByteReadAndWriteMakeNoCall) {
    // An invalid descriptor proves no system call was made.
    char b = 0;
    Result<std::size_t> r = read(-1, &b, 0);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), 0u);
    Result<std::size_t> w = write(-1, &b, 0);
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(w.value(), 0u);
    Result<std::size_t> bad = read(-1, &b, 1);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error(), ErrorCode::NotOpenForReading);
}

TEST(Wrappers, WriteToDepartedPeerIsBrokenPipe) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old {};
    sigaction(SIGPIPE, &ignore, &old);
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ::close(sv[1]);
    Result<std::size_t> w = write(sv[0], "x", 1);
    ::close(sv[0]);
    sigaction(SIGPIPE, &old, nullptr);
    ASSERT_FALSE(w.ok());
    EXPECT_EQ(w.error(), ErrorCode::BrokenPipe);
}

TEST(Wrappers, NonBlockingReadWouldBlock) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    UniqueFd a(sv[0]);
    UniqueFd b(sv[1]);
    char buf[4];
    Result<std::size_t> r = read(a.get(), buf, sizeof(buf));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), ErrorCode::WouldBlock);
    Result<int> acc = accept4(a.get(), 0);
    EXPECT_FALSE(acc.ok());
}

TEST(UniqueFd, ClosesOnceAndReleases) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    {
        UniqueFd r(p[0]);
        UniqueFd moved(std::move(r));
        EXPECT_FALSE(r.valid());
        EXPECT_EQ(moved.get(), p[0]);
    }
    EXPECT_EQ(::fcntl(p[0], F_GETFD), -1);
    UniqueFd w(p[1]);
    int raw = w.release();
    EXPECT_FALSE(w.valid());
    EXPECT_NE(::fcntl(raw, F_GETFD), -1);
    ::close(raw);
}

}  // namespace
}  // namespace vg::sys
