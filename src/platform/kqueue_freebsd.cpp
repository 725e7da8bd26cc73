// Event queue on FreeBSD: the system's own kqueue(2) and kevent(2).
#include "platform/kqueue.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/event.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

namespace vg::platform {

Kqueue kqueue() noexcept {
#if defined(KQUEUE_CLOEXEC)
    // FreeBSD 14.0 and later: close-on-exec from the start.
    return {::kqueuex(KQUEUE_CLOEXEC), nullptr};
#else
    // A fork child never inherits a queue, but a plain exec keeps it unless
    // marked; the Linux backend's queue is close-on-exec too.
    int kq = ::kqueue();
    if (kq >= 0 && ::fcntl(kq, F_SETFD, FD_CLOEXEC) != 0) {
        int err = errno;
        ::close(kq);
        errno = err;
        return {};
    }
    return {kq, nullptr};
#endif
}

void closeKqueue(Kqueue kq) noexcept {
    if (kq.fd >= 0) (void)::close(kq.fd);
}

int kevent(Kqueue kq, const KEvent* changes, int nchanges, KEvent* events, int nevents,
           const struct timespec* timeout) noexcept {
    return ::kevent(kq.fd, changes, nchanges, events, nevents, timeout);
}

}  // namespace vg::platform
