// Event queue on Linux: kqueue(2) and kevent(2) stood in for by epoll(7) for
// readiness and inotify(7) for directory changes.
#include "platform/kqueue.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace vg::platform {
namespace {

// epoll_event.data of the queue's own inotify descriptor; read registrations
// carry their descriptor number, which is never this.
constexpr std::uint64_t kInotifyTag = ~std::uint64_t{0};

// Readiness records fetched per epoll_wait: a stack array, so waiting never
// allocates. A caller asking for more simply gets them on its next call.
constexpr int kWaitBatch = 64;

// Only what the loop uses is accepted; anything else fails loudly with EINVAL
// rather than being ignored where FreeBSD would act on it.
constexpr std::uint16_t kKnownFlags = kEvAdd | kEvClear;
constexpr std::uint32_t kKnownNotes = kNoteWrite | kNoteLink | kNoteRename;

// Entries appearing in or leaving the directory. IN_MODIFY, IN_CLOSE_WRITE and
// IN_ATTRIB stay out: rewriting a file in place does not change the directory,
// and FreeBSD reports nothing on the directory for it.
constexpr std::uint32_t kEntryMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

struct ReadSlot {
    void* udata = nullptr;
    std::uint16_t flags = 0;  // kEvClear when edge-triggered
    bool used = false;
};

struct VnodeWatch {
    int fd;
    int wd;                 // -1 once the kernel dropped the watch (IN_IGNORED)
    std::uint32_t fflags;   // notes asked for
    std::uint32_t pending;  // notes seen since the last report
    std::uint16_t flags;
    void* udata;
    dev_t dev;
    ino_t ino;
};

struct Queue {
    std::vector<ReadSlot> reads;      // indexed by descriptor number
    std::vector<VnodeWatch> watches;  // a handful at most: searched linearly
    int inotifyFd = -1;
};

// Indexed by queue descriptor. Queues are never freed, only reset when their
// number comes back from kqueue(), so a Queue* stays valid across a wait done
// without the lock.
std::mutex gMutex;
std::vector<std::unique_ptr<Queue>> gQueues;

Queue* findQueue(int kq) {
    if (kq < 0 || static_cast<std::size_t>(kq) >= gQueues.size()) return nullptr;
    return gQueues[static_cast<std::size_t>(kq)].get();
}

// Closing a queue descriptor leaves its inotify descriptor open (nothing tells
// us about the close). Before closing it when the number is reused, make sure
// the number still names an inotify instance: someone closing descriptors
// wholesale may have handed it out to something else meanwhile.
bool isInotify(int fd) {
    char path[32];
    char link[32];
    (void)std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    ssize_t n = ::readlink(path, link, sizeof link - 1);
    if (n < 0) return false;
    link[n] = '\0';
    return std::strcmp(link, "anon_inode:inotify") == 0;
}

void resetQueue(Queue& q) {
    if (q.inotifyFd >= 0 && isInotify(q.inotifyFd)) ::close(q.inotifyFd);
    q.inotifyFd = -1;
    q.reads.clear();
    q.watches.clear();
}

int epollErrno(int err) {
    // epoll_ctl: ENOSPC is max_user_watches reached; kevent calls that ENOMEM.
    return err == ENOSPC ? ENOMEM : err;
}

int applyRead(Queue& q, int kq, int fd, const KEvent& change) {
    std::size_t index = static_cast<std::size_t>(fd);
    if ((change.flags & kEvAdd) == 0) {
        return index < q.reads.size() && q.reads[index].used ? 0 : ENOENT;
    }
    epoll_event ev{};
    // EPOLLRDHUP: a peer that shut down its write side is EV_EOF on FreeBSD,
    // while epoll would only say EPOLLIN without it.
    ev.events = EPOLLIN | EPOLLRDHUP | ((change.flags & kEvClear) != 0 ? EPOLLET : 0u);
    ev.data.u64 = static_cast<std::uint64_t>(fd);
    bool added = true;
    if (::epoll_ctl(kq, EPOLL_CTL_ADD, fd, &ev) != 0) {
        // EV_ADD on a knote that exists updates it; epoll wants MOD for that.
        // MOD also re-checks readiness, as kqueue does on an update.
        if (errno != EEXIST || ::epoll_ctl(kq, EPOLL_CTL_MOD, fd, &ev) != 0)
            return epollErrno(errno);
        added = false;
    }
    // The table grows only after epoll accepted the descriptor, so a bogus
    // huge ident is never allocated for.
    if (index >= q.reads.size()) {
        try {
            q.reads.resize(index + 1);
        } catch (const std::bad_alloc&) {
            if (added) ::epoll_ctl(kq, EPOLL_CTL_DEL, fd, nullptr);
            return ENOMEM;
        }
    }
    q.reads[index] =
        ReadSlot{change.udata, static_cast<std::uint16_t>(change.flags & kEvClear), true};
    return 0;
}

std::uint32_t inotifyMask(std::uint32_t fflags) {
    std::uint32_t mask = 0;
    if ((fflags & (kNoteWrite | kNoteLink)) != 0) mask |= kEntryMask;
    if ((fflags & kNoteRename) != 0) mask |= IN_MOVE_SELF;
    // A watch needs some event; this one only keeps a registration that asks
    // for no note alive until the directory goes.
    return mask != 0 ? mask : IN_DELETE_SELF;
}

bool wdShared(const Queue& q, int wd) {
    for (const VnodeWatch& w : q.watches) {
        if (w.wd == wd) return true;
    }
    return false;
}

// Swap-and-pop: the caller must look at `index` again afterwards.
void dropWatch(Queue& q, std::size_t index) {
    int wd = q.watches[index].wd;
    q.watches[index] = q.watches.back();
    q.watches.pop_back();
    // Linux: one inotify watch per inode, shared by every registration of the
    // same directory in this queue, so only the last one removes it.
    if (wd >= 0 && !wdShared(q, wd)) ::inotify_rm_watch(q.inotifyFd, wd);
}

int ensureInotify(Queue& q, int kq) {
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

int applyVnode(Queue& q, int kq, int fd, const KEvent& change) {
    if ((change.fflags & ~kKnownNotes) != 0) return EINVAL;
    struct stat st;
    if (::fstat(fd, &st) != 0) return errno;
    std::size_t existing = q.watches.size();
    for (std::size_t i = 0; i < q.watches.size(); ++i) {
        if (q.watches[i].fd == fd) existing = i;
    }
    if (existing < q.watches.size() &&
        (q.watches[existing].dev != st.st_dev || q.watches[existing].ino != st.st_ino)) {
        // The number was closed and now names another file: the old knote is gone.
        dropWatch(q, existing);
        existing = q.watches.size();
    }
    if ((change.flags & kEvAdd) == 0) return existing < q.watches.size() ? 0 : ENOENT;
    if (int err = ensureInotify(q, kq); err != 0) return err;

    // Linux: inotify_add_watch on an inode already watched returns the same
    // wd and replaces its mask, so ask for what every registration of this
    // directory needs.
    std::uint32_t mask = inotifyMask(change.fflags);
    for (std::size_t i = 0; i < q.watches.size(); ++i) {
        const VnodeWatch& w = q.watches[i];
        if (i != existing && w.wd >= 0 && w.dev == st.st_dev && w.ino == st.st_ino) {
            mask |= inotifyMask(w.fflags);
        }
    }
    // Linux: inotify cannot watch a descriptor, only a path; /proc/self/fd/N
    // resolves to the open directory even after it is renamed or its name is
    // taken by another, so the watch follows the descriptor. IN_ONLYDIR makes
    // a non-directory fail with ENOTDIR.
    char path[32];
    (void)std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    int wd = ::inotify_add_watch(q.inotifyFd, path, mask | IN_ONLYDIR);
    if (wd < 0) return errno == ENOSPC ? ENOMEM : errno;  // ENOSPC: max_user_watches

    VnodeWatch watch{fd,
                     wd,
                     change.fflags,
                     0,
                     static_cast<std::uint16_t>(change.flags & kEvClear),
                     change.udata,
                     st.st_dev,
                     st.st_ino};
    if (existing < q.watches.size()) {
        watch.pending = q.watches[existing].pending & change.fflags;
        q.watches[existing] = watch;
        return 0;
    }
    try {
        q.watches.push_back(watch);
    } catch (const std::bad_alloc&) {
        if (!wdShared(q, wd)) ::inotify_rm_watch(q.inotifyFd, wd);
        return ENOMEM;
    }
    return 0;
}

int applyChange(Queue& q, int kq, const KEvent& change) {
    if ((change.flags & ~kKnownFlags) != 0) return EINVAL;
    if (change.ident > static_cast<std::uintptr_t>(INT_MAX)) return EBADF;
    int fd = static_cast<int>(change.ident);
    switch (change.filter) {
        case kFilterRead: return applyRead(q, kq, fd, change);
        case kFilterVnode: return applyVnode(q, kq, fd, change);
        default: return EINVAL;
    }
}

void noteRecord(Queue& q, const inotify_event& rec) {
    if ((rec.mask & IN_Q_OVERFLOW) != 0) {
        // Records were lost: say every directory changed so the loop rescans.
        for (VnodeWatch& w : q.watches) w.pending |= w.fflags & (kNoteWrite | kNoteLink);
        return;
    }
    if ((rec.mask & IN_IGNORED) != 0) {
        // The kernel dropped the watch (directory removed, filesystem
        // unmounted); what was noted before is still reported.
        for (VnodeWatch& w : q.watches) {
            if (w.wd == rec.wd) w.wd = -1;
        }
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
    for (VnodeWatch& w : q.watches) {
        if (w.wd == rec.wd) w.pending |= notes & w.fflags;
    }
}

void drainInotify(Queue& q) {
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

bool anyPending(const Queue& q) {
    for (const VnodeWatch& w : q.watches) {
        if (w.pending != 0) return true;
    }
    return false;
}

// One event per directory however many records it got. A directory whose
// descriptor was closed (or now names something else) is dropped unreported:
// inotify keeps watching the inode after the descriptor is gone.
int reportVnodes(Queue& q, KEvent* out, int room) {
    int n = 0;
    for (std::size_t i = 0; i < q.watches.size() && n < room;) {
        VnodeWatch& w = q.watches[i];
        if (w.pending == 0) {
            if (w.wd < 0) {
                dropWatch(q, i);
            } else {
                ++i;
            }
            continue;
        }
        struct stat st;
        if (::fstat(w.fd, &st) != 0 || st.st_dev != w.dev || st.st_ino != w.ino) {
            dropWatch(q, i);
            continue;
        }
        out[n++] =
            makeEvent(static_cast<std::uintptr_t>(w.fd), kFilterVnode, w.flags, w.pending, w.udata);
        w.pending = 0;
        if (w.wd < 0) {
            dropWatch(q, i);
        } else {
            ++i;
        }
    }
    return n;
}

int toMillis(const timespec& ts) {
    // Rounded up: a wait must not end before the time asked for.
    if (ts.tv_sec >= INT_MAX / 1000) return INT_MAX;
    long long ms = static_cast<long long>(ts.tv_sec) * 1000 + (ts.tv_nsec + 999999) / 1000000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

int waitEvents(Queue& q, int kq, KEvent* out, int nevents, const timespec* timeout) {
    epoll_event ready[kWaitBatch];
    int ms = timeout != nullptr ? toMillis(*timeout) : -1;
    // Far beyond any real wait (and beyond time_t overflow): no limit.
    if (timeout != nullptr && timeout->tv_sec > (1L << 30)) ms = -1;
    timespec deadline{};
    if (ms > 0) {
        ::clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += timeout->tv_sec;
        deadline.tv_nsec += timeout->tv_nsec;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    const int batch = nevents < kWaitBatch ? nevents : kWaitBatch;
    for (;;) {
        bool carried;
        {
            std::lock_guard lock(gMutex);
            carried = anyPending(q);  // left over when the last caller ran out of room
        }
        // Linux: epoll_wait fails with EINTR on a signal even under
        // SA_RESTART; the loop wants EINTR anyway, so it is passed on.
        int n = ::epoll_wait(kq, ready, batch, carried ? 0 : ms);
        if (n < 0) return -1;

        int count = 0;
        bool inotifyReady = false;
        {
            std::lock_guard lock(gMutex);
            for (int i = 0; i < n; ++i) {
                if (ready[i].data.u64 == kInotifyTag) {
                    inotifyReady = true;
                    continue;
                }
                std::size_t fd = static_cast<std::size_t>(ready[i].data.u64);
                if (fd >= q.reads.size() || !q.reads[fd].used) continue;
                const ReadSlot& slot = q.reads[fd];
                std::uint16_t flags = slot.flags;
                if ((ready[i].events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) != 0) flags |= kEvEof;
                out[count++] = makeEvent(fd, kFilterRead, flags, 0, slot.udata);
            }
            if (inotifyReady) drainInotify(q);
            count += reportVnodes(q, out + count, nevents - count);
        }
        if (count > 0 || ms == 0) return count;
        // Woken only by inotify records that came to nothing (a closed
        // directory, a dropped watch): 0 would read as a timeout, so wait on.
        if (ms > 0) {
            timespec now{};
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
            if (left.tv_nsec < 0) {
                left.tv_sec -= 1;
                left.tv_nsec += 1000000000L;
            }
            if (left.tv_sec < 0 || (left.tv_sec == 0 && left.tv_nsec == 0)) return 0;
            ms = toMillis(left);
        }
    }
}

}  // namespace

int kqueue() noexcept {
    int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) return -1;
    std::lock_guard lock(gMutex);
    auto index = static_cast<std::size_t>(fd);
    try {
        if (index >= gQueues.size()) gQueues.resize(index + 1);
        if (!gQueues[index]) gQueues[index] = std::make_unique<Queue>();
    } catch (const std::bad_alloc&) {
        ::close(fd);
        errno = ENOMEM;
        return -1;
    }
    // State under this number belongs to a queue closed since.
    resetQueue(*gQueues[index]);
    return fd;
}

int kevent(int kq, const KEvent* changes, int nchanges, KEvent* events, int nevents,
           const struct timespec* timeout) noexcept {
    if (nchanges < 0 || nevents < 0) {
        errno = EINVAL;
        return -1;
    }
    if ((nchanges > 0 && changes == nullptr) || (nevents > 0 && events == nullptr)) {
        errno = EFAULT;
        return -1;
    }
    if (timeout != nullptr &&
        (timeout->tv_sec < 0 || timeout->tv_nsec < 0 || timeout->tv_nsec >= 1000000000L)) {
        errno = EINVAL;
        return -1;
    }
    Queue* q;
    {
        std::lock_guard lock(gMutex);
        q = findQueue(kq);
        if (q == nullptr) {
            errno = EBADF;
            return -1;
        }
        // As FreeBSD: each failed change becomes an EV_ERROR event while there
        // is room, and the call then returns those without waiting; with no
        // room left the call stops at that change with -1. changes[i] is read
        // before events[<= i] is written, so both may be the same array.
        int nerrors = 0;
        for (int i = 0; i < nchanges; ++i) {
            int err = applyChange(*q, kq, changes[i]);
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
    }
    if (nevents == 0) return 0;
    return waitEvents(*q, kq, events, nevents, timeout);
}

}  // namespace vg::platform
