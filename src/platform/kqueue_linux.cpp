// Event queue on Linux: kqueue(2) and kevent(2) stood in for by epoll(7) for
// readiness and inotify(7) for directory changes. All a queue holds is in its
// QueueState, made by kqueue() and freed by closeKqueue().
#include "platform/kqueue.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace vg::platform {

struct QueueState {
    struct Read {
        void* udata;
        std::uint16_t flags;  // kEvClear when edge-triggered
        bool used;
        bool disabled;  // EV_DISABLE: kept, but out of the epoll set
    };
    struct Watch {
        bool used;
        int fd;
        int wd;                 // -1 once the kernel dropped the watch (IN_IGNORED)
        std::uint32_t fflags;   // notes asked for
        std::uint32_t pending;  // notes seen since the last report
        void* udata;
        dev_t dev;
        ino_t ino;
    };
    // A handful of directories; the daemon watches one.
    static constexpr int kMaxWatches = 4;

    int inotifyFd;  // -1 until the first directory is watched
    std::size_t capacity;
    Read* reads;  // `capacity` entries, indexed by descriptor number
    Watch watches[kMaxWatches];
};

namespace {

using Read = QueueState::Read;
using Watch = QueueState::Watch;

// epoll_event.data of the queue's inotify descriptor; read registrations
// carry their descriptor number, which is never this.
constexpr std::uint64_t kInotifyTag = ~std::uint64_t{0};

// Readiness records fetched per epoll_wait: a stack array, so waiting never
// allocates. A caller asking for more simply gets them on its next call.
constexpr int kWaitBatch = 64;

// The read table covers the hard descriptor limit in force when the queue is
// made, up to this many, so that raising the soft limit of a running process
// (prlimit) cannot make descriptors it may then hold unregistrable; a
// descriptor beyond it is refused with ENOMEM.
constexpr std::size_t kMaxDescriptors = std::size_t{1} << 16;

// Only what the loop uses is accepted; anything else fails loudly with EINVAL
// rather than being ignored where FreeBSD would act on it. Directory watches
// are edge-triggered only: inotify reports each change once.
constexpr std::uint16_t kKnownFlags = kEvAdd | kEvClear | kEvEnable | kEvDisable;
constexpr std::uint32_t kKnownNotes = kNoteDelete | kNoteWrite | kNoteLink | kNoteRename;

// Entries appearing in or leaving the directory. IN_MODIFY, IN_CLOSE_WRITE and
// IN_ATTRIB stay out: rewriting a file in place does not change the directory,
// and FreeBSD reports nothing on the directory for it.
constexpr std::uint32_t kEntryMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

std::size_t tableSize() noexcept {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_max > kMaxDescriptors) {
        return kMaxDescriptors;
    }
    return static_cast<std::size_t>(lim.rlim_max);
}

int epollErrno(int err) noexcept {
    // epoll_ctl: ENOSPC is max_user_watches reached; kevent calls that ENOMEM.
    return err == ENOSPC ? ENOMEM : err;
}

int epollAdd(int kq, int fd, std::uint16_t flags) noexcept {
    epoll_event ev{};
    // EPOLLRDHUP: a peer that shut down its write side is EV_EOF on FreeBSD,
    // while epoll would only say EPOLLIN without it.
    ev.events = EPOLLIN | EPOLLRDHUP | ((flags & kEvClear) != 0 ? EPOLLET : 0u);
    ev.data.u64 = static_cast<std::uint64_t>(fd);
    // EV_ADD on a knote that exists updates it; epoll wants MOD for that.
    // MOD also re-checks readiness, as kqueue does on an update.
    if (::epoll_ctl(kq, EPOLL_CTL_ADD, fd, &ev) != 0 &&
        (errno != EEXIST || ::epoll_ctl(kq, EPOLL_CTL_MOD, fd, &ev) != 0)) {
        return epollErrno(errno);
    }
    return 0;
}

// EV_DISABLE takes the descriptor out of the epoll set and EV_ENABLE puts it
// back, which re-checks readiness: a level-triggered descriptor that is still
// ready is reported again, as FreeBSD re-runs the filter on EV_ENABLE.
int applyRead(QueueState& q, int kq, int fd, const KEvent& change) noexcept {
    if (static_cast<std::size_t>(fd) >= q.capacity) return ENOMEM;
    Read& slot = q.reads[fd];
    if ((change.flags & kEvAdd) == 0) {
        if (::fcntl(fd, F_GETFD) == -1) return EBADF;
        if (!slot.used) return ENOENT;
    }
    bool disabled = slot.used && slot.disabled;
    if ((change.flags & kEvDisable) != 0) disabled = true;
    if ((change.flags & kEvEnable) != 0) disabled = false;
    const std::uint16_t flags = (change.flags & kEvAdd) != 0
                                    ? static_cast<std::uint16_t>(change.flags & kEvClear)
                                    : slot.flags;
    if (disabled) {
        if (::epoll_ctl(kq, EPOLL_CTL_DEL, fd, nullptr) != 0 && errno != ENOENT) {
            return epollErrno(errno);
        }
    } else if (int err = epollAdd(kq, fd, flags); err != 0) {
        return err;
    }
    void* udata = (change.flags & kEvAdd) != 0 ? change.udata : slot.udata;
    slot = Read{udata, flags, true, disabled};
    return 0;
}

std::uint32_t inotifyMask(std::uint32_t fflags) noexcept {
    std::uint32_t mask = 0;
    if ((fflags & (kNoteWrite | kNoteLink)) != 0) mask |= kEntryMask;
    if ((fflags & kNoteRename) != 0) mask |= IN_MOVE_SELF;
    // Also asked for when no note is: a watch needs some event, and this one
    // keeps the registration alive until the directory goes.
    return mask | IN_DELETE_SELF;
}

// inotify watches the inode, not the descriptor: a watch whose descriptor was
// closed, or now names another file, is gone, as its knote would be on FreeBSD.
bool descriptorGone(const Watch& w) noexcept {
    struct stat st {};
    return ::fstat(w.fd, &st) != 0 || st.st_dev != w.dev || st.st_ino != w.ino;
}

void dropWatch(QueueState& q, Watch& w) noexcept {
    if (w.wd >= 0) (void)::inotify_rm_watch(q.inotifyFd, w.wd);
    w = Watch{};
}

int ensureInotify(QueueState& q, int kq) noexcept {
    if (q.inotifyFd >= 0) return 0;
    int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return errno;  // EMFILE also means max_user_instances reached
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kInotifyTag;
    if (::epoll_ctl(kq, EPOLL_CTL_ADD, fd, &ev) != 0) {
        int err = errno;
        ::close(fd);
        return epollErrno(err);
    }
    q.inotifyFd = fd;
    return 0;
}

int applyVnode(QueueState& q, int kq, int fd, const KEvent& change) noexcept {
    if ((change.flags & (kEvAdd | kEvClear)) != (kEvAdd | kEvClear) ||
        (change.flags & (kEvEnable | kEvDisable)) != 0 || (change.fflags & ~kKnownNotes) != 0) {
        return EINVAL;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) return errno;
    Watch* slot = nullptr;
    for (Watch& w : q.watches) {
        if (w.used && descriptorGone(w)) dropWatch(q, w);
        if (w.used && w.fd == fd) slot = &w;
    }
    const bool update = slot != nullptr;
    for (Watch& w : q.watches) {
        if (slot == nullptr && !w.used) slot = &w;
    }
    if (slot == nullptr) return ENOMEM;
    if (int err = ensureInotify(q, kq); err != 0) return err;

    // Linux: inotify cannot watch a descriptor, only a path; /proc/self/fd/N
    // resolves to the open directory even after it is renamed or its name is
    // taken by another, so the watch follows the descriptor. IN_ONLYDIR makes
    // a non-directory fail with ENOTDIR. A new watch on an inode this queue
    // already watches under another descriptor fails with EEXIST
    // (IN_MASK_CREATE, Linux 4.18): its mask would replace the other's.
    char path[32];
    (void)std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const std::uint32_t mask =
        inotifyMask(change.fflags) | IN_ONLYDIR | (update ? 0 : IN_MASK_CREATE);
    int wd = ::inotify_add_watch(q.inotifyFd, path, mask);
    if (wd < 0) return epollErrno(errno);  // ENOSPC: max_user_watches
    const std::uint32_t pending = update ? slot->pending & change.fflags : 0;
    *slot = Watch{true, fd, wd, change.fflags, pending, change.udata, st.st_dev, st.st_ino};
    return 0;
}

int applyChange(QueueState& q, int kq, const KEvent& change) noexcept {
    const std::uint16_t flags = change.flags;
    if ((flags & ~kKnownFlags) != 0 || (flags & (kEvAdd | kEvEnable | kEvDisable)) == 0 ||
        (flags & (kEvEnable | kEvDisable)) == (kEvEnable | kEvDisable)) {
        return EINVAL;
    }
    if (change.ident > static_cast<std::uintptr_t>(INT_MAX)) return EBADF;
    int fd = static_cast<int>(change.ident);
    switch (change.filter) {
        case kFilterRead: return applyRead(q, kq, fd, change);
        case kFilterVnode: return applyVnode(q, kq, fd, change);
        default: return EINVAL;
    }
}

void noteRecord(QueueState& q, const inotify_event& rec) noexcept {
    if ((rec.mask & IN_Q_OVERFLOW) != 0) {
        // Records were lost: say every directory changed so the loop rescans.
        for (Watch& w : q.watches) w.pending |= w.fflags & (kNoteWrite | kNoteLink);
        return;
    }
    std::uint32_t notes = 0;
    if ((rec.mask & kEntryMask) != 0) {
        notes |= kNoteWrite;
        // A subdirectory coming or going changes the link count (its "..").
        // Linux does not tell a rename inside the directory apart here, so it
        // counts as well, where FreeBSD's count would not change.
        if ((rec.mask & IN_ISDIR) != 0) notes |= kNoteLink;
    }
    if ((rec.mask & IN_MOVE_SELF) != 0) notes |= kNoteRename;
    if ((rec.mask & IN_DELETE_SELF) != 0) notes |= kNoteDelete;
    for (Watch& w : q.watches) {
        if (!w.used || w.wd != rec.wd) continue;
        w.pending |= notes & w.fflags;
        // The kernel dropped the watch (directory removed, file system
        // unmounted); what was noted before is still reported.
        if ((rec.mask & IN_IGNORED) != 0) w.wd = -1;
    }
}

void drainInotify(QueueState& q) noexcept {
    alignas(inotify_event) char buf[4096];  // holds at least one record of NAME_MAX
    for (;;) {
        ssize_t n = ::read(q.inotifyFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // EAGAIN: drained
        for (ssize_t off = 0; off < n;) {
            const auto* rec = reinterpret_cast<const inotify_event*>(buf + off);
            noteRecord(q, *rec);
            off += static_cast<ssize_t>(sizeof(inotify_event) + rec->len);
        }
    }
}

bool anyPending(const QueueState& q) noexcept {
    for (const Watch& w : q.watches) {
        if (w.used && w.pending != 0) return true;
    }
    return false;
}

// One event per directory however many records it got; a directory whose
// descriptor is gone is dropped unreported.
int reportVnodes(QueueState& q, KEvent* out, int room) noexcept {
    int n = 0;
    for (Watch& w : q.watches) {
        if (!w.used || n == room) continue;
        if (w.pending != 0) {
            if (descriptorGone(w)) {
                dropWatch(q, w);
                continue;
            }
            out[n++] = makeEvent(static_cast<std::uintptr_t>(w.fd), kFilterVnode, kEvClear,
                                 w.pending, w.udata);
            w.pending = 0;
        }
        if (w.wd < 0) dropWatch(q, w);
    }
    return n;
}

int toMillis(const timespec& ts) noexcept {
    // Rounded up: a wait must not end before the time asked for.
    if (ts.tv_sec >= INT_MAX / 1000) return INT_MAX;
    long long ms = static_cast<long long>(ts.tv_sec) * 1000 + (ts.tv_nsec + 999999) / 1000000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

timespec monotonicNow() noexcept {
    timespec now{};
    (void)::clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// Milliseconds from now until `deadline`, 0 once it has passed.
int millisUntil(const timespec& deadline) noexcept {
    const timespec now = monotonicNow();
    timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
        left.tv_sec -= 1;
        left.tv_nsec += 1000000000L;
    }
    return left.tv_sec < 0 ? 0 : toMillis(left);
}

int waitEvents(QueueState& q, int kq, KEvent* out, int nevents, const timespec* timeout) noexcept {
    epoll_event ready[kWaitBatch];
    int ms = timeout != nullptr ? toMillis(*timeout) : -1;
    timespec deadline{};
    if (ms > 0) {
        deadline = monotonicNow();
        deadline.tv_sec += timeout->tv_sec;
        deadline.tv_nsec += timeout->tv_nsec;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    const int batch = nevents < kWaitBatch ? nevents : kWaitBatch;
    for (;;) {
        // Linux: epoll_wait fails with EINTR on a signal even under
        // SA_RESTART; the loop wants EINTR anyway, so it is passed on.
        // Directory events left over when the last caller ran out of room
        // are due at once.
        int n = ::epoll_wait(kq, ready, batch, anyPending(q) ? 0 : ms);
        if (n < 0) return -1;

        int count = 0;
        bool inotifyReady = false;
        for (int i = 0; i < n; ++i) {
            if (ready[i].data.u64 == kInotifyTag) {
                inotifyReady = true;
                continue;
            }
            // Linux: epoll registers the open file description, not the
            // descriptor (epoll(7), questions 1 and 6), and close(2) ends the
            // registration only once no descriptor refers to the description.
            // A registered descriptor that was duplicated (dup, fork,
            // SCM_RIGHTS) and then closed thus keeps reporting here under its
            // old number, which may name another file by now. The daemon
            // never duplicates a registered descriptor.
            const auto fd = static_cast<std::size_t>(ready[i].data.u64);
            const Read& slot = q.reads[fd];
            if (!slot.used || slot.disabled) continue;
            std::uint16_t flags = slot.flags;
            if ((ready[i].events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) != 0) flags |= kEvEof;
            out[count++] = makeEvent(fd, kFilterRead, flags, 0, slot.udata);
        }
        if (inotifyReady) drainInotify(q);
        count += reportVnodes(q, out + count, nevents - count);
        if (count > 0 || ms == 0) return count;
        // Woken only by inotify records that came to nothing (a closed
        // directory, a dropped watch): 0 would read as a timeout, so wait on.
        if (ms > 0) {
            ms = millisUntil(deadline);
            if (ms == 0) return 0;
        }
    }
}

}  // namespace

Kqueue kqueue() noexcept {
    const std::size_t capacity = tableSize();
    // Zeroed storage is an empty table and no watches; libc's allocator, as
    // everywhere in the daemon.
    auto* state = static_cast<QueueState*>(std::calloc(1, sizeof(QueueState)));
    auto* reads = static_cast<Read*>(std::calloc(capacity, sizeof(Read)));
    int fd = state != nullptr && reads != nullptr ? ::epoll_create1(EPOLL_CLOEXEC) : -1;
    if (fd < 0) {
        const int err = state != nullptr && reads != nullptr ? errno : ENOMEM;
        std::free(reads);
        std::free(state);
        errno = err;
        return {};
    }
    state->inotifyFd = -1;
    state->capacity = capacity;
    state->reads = reads;
    return {fd, state};
}

void closeKqueue(Kqueue kq) noexcept {
    if (kq.state != nullptr) {
        if (kq.state->inotifyFd >= 0) (void)::close(kq.state->inotifyFd);
        std::free(kq.state->reads);
        std::free(kq.state);
    }
    if (kq.fd >= 0) (void)::close(kq.fd);
}

int kevent(Kqueue kq, const KEvent* changes, int nchanges, KEvent* events, int nevents,
           const struct timespec* timeout) noexcept {
    if (kq.state == nullptr || kq.fd < 0) {
        errno = EBADF;
        return -1;
    }
    if (nchanges < 0 || nevents < 0 ||
        (timeout != nullptr &&
         (timeout->tv_sec < 0 || timeout->tv_nsec < 0 || timeout->tv_nsec >= 1000000000L))) {
        errno = EINVAL;
        return -1;
    }
    // As FreeBSD: each failed change becomes an EV_ERROR event while there
    // is room, and the call then returns those without waiting; with no
    // room left the call stops at that change with -1. changes[i] is read
    // before events[<= i] is written, so both may be the same array.
    int nerrors = 0;
    for (int i = 0; i < nchanges; ++i) {
        int err = applyChange(*kq.state, kq.fd, changes[i]);
        if (err == 0) continue;
        if (nerrors == nevents) {
            errno = err;
            return -1;
        }
        KEvent failed = changes[i];
        failed.flags = kEvError;
        failed.data = err;
        events[nerrors++] = failed;
    }
    if (nerrors > 0) return nerrors;
    if (nevents == 0) return 0;
    return waitEvents(*kq.state, kq.fd, events, nevents, timeout);
}

}  // namespace vg::platform
