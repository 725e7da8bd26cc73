// What a read-side shutdown does to a Unix stream socket, asked of the
// running kernel. FreeBSD changed the answer within 15-CURRENT (its new
// stream code, after __FreeBSD_version 1500036), and getosreldate(3) follows
// the OSVERSION variable and a jail's osreldate: no version number tells.
#include "platform/unix_socket.h"

#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>

namespace vg::platform {

namespace {

struct Probe {
    ReadShutdownEffect effect{false, false};
    int err = 0;
};

class SocketPair {
public:
    SocketPair() noexcept {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0) fds_[0] = fds_[1] = -1;
    }
    ~SocketPair() {
        for (int fd : fds_) {
            if (fd >= 0) (void)::close(fd);
        }
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;

    bool ok() const noexcept { return fds_[0] >= 0; }
    int ours() const noexcept { return fds_[0]; }
    int peer() const noexcept { return fds_[1]; }

private:
    int fds_[2] = {-1, -1};
};

// Never blocks, and raises no SIGPIPE (MSG_NOSIGNAL: Linux, FreeBSD 10 on), so
// a process without the daemon's SIGPIPE handler, a test, can ask too.
Probe runProbe() noexcept {
    constexpr int kFlags = MSG_DONTWAIT | MSG_NOSIGNAL;
    Probe probe;
    SocketPair pair;
    char byte = 'q';
    if (!pair.ok() || ::send(pair.peer(), &byte, 1, kFlags) != 1 ||
        ::shutdown(pair.ours(), SHUT_RD) != 0) {
        probe.err = errno;
        return probe;
    }
    // Linux keeps what is queued readable; FreeBSD 14 and 15 discard it
    // (sorflush, unp_dispose) and read returns end of stream.
    const ssize_t got = ::recv(pair.ours(), &byte, 1, MSG_DONTWAIT);
    if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        probe.err = errno;
        return probe;
    }
    // Linux fails the peer's write (unix_shutdown shuts its send side);
    // FreeBSD's new stream code too (the receiver's SBS_CANTRCVMORE); the
    // old one (14, early 15-CURRENT) takes the write and drops it at close.
    const bool refused = ::send(pair.peer(), &byte, 1, kFlags) < 0;
    if (refused && errno != EPIPE) {
        probe.err = errno;
        return probe;
    }
    probe.effect = {got == 1, refused};
    return probe;
}

const Probe& probe() noexcept {
    static const Probe answer = runProbe();
    return answer;
}

}  // namespace

ReadShutdownEffect readShutdownEffect() noexcept {
    return probe().effect;
}

int readShutdownProbeError() noexcept {
    return probe().err;
}

}  // namespace vg::platform
