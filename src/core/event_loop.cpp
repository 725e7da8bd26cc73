// The event loop: one kqueue, the signal pipe, the listening socket, the
// cache directory watch and up to 64 client connections.
#include "core/event_loop.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <ctime>

#include "keycache/key_cache.h"
#include "log/log.h"
#include "log/syscalls.h"
#include "platform/unix_socket.h"

namespace vg {

namespace {

// Published to the handler before it is installed; -1 until then.
std::atomic<int> gSignalPipeWrite{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

// Out of descriptors, the listening socket is looked at again after this long
// if no connection has closed by then (another process may free them).
constexpr std::int64_t kDescriptorRetryNs = 1'000'000'000;
// Shortest pause of the listener: a connection whose input is waiting is
// dealt with by the next wait, and a zero timeout would go round for nothing.
constexpr std::int64_t kMinPauseNs = 10'000'000;
constexpr std::int64_t kNsPerSecond = 1'000'000'000;

std::int64_t monotonicNanos() noexcept {
    timespec now{};
    (void)::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

timespec toTimespec(std::int64_t ns) noexcept {
    if (ns < 0) ns = 0;
    return {static_cast<time_t>(ns / kNsPerSecond), static_cast<long>(ns % kNsPerSecond)};
}

platform::KEvent listenerChange(int fd, std::uint16_t flags) noexcept {
    return platform::makeEvent(static_cast<std::uintptr_t>(fd), platform::kFilterRead, flags);
}

void installHandler(int signo) noexcept {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the wait sees EINTR and goes round again
    (void)sigaction(signo, &sa, nullptr);
}

}  // namespace

void onSignal(int signo) noexcept {
    int fd = gSignalPipeWrite.load(std::memory_order_relaxed);
    if (fd < 0) return;
    const char byte = signo == SIGHUP ? 'r' : 'q';
    // The pipe is non-blocking: when it is full a byte is already waiting,
    // so dropping this one loses nothing but a duplicate.
    int saved = errno;
    (void)sys::write(fd, &byte, 1);
    errno = saved;
}

void EventLoop::releaseSpare() noexcept {
    if (spare_ >= 0) sys::close(spare_);
    spare_ = -1;
}

void EventLoop::takeSpare() noexcept {
    if (spare_ >= 0) return;
    if (Result<int> opened = sys::openat(AT_FDCWD, "/dev/null", O_RDONLY | O_CLOEXEC); opened) {
        spare_ = opened.value();
    }
}

void EventLoop::reload(const char* reason) noexcept {
    if (reason != nullptr) logLine(LogLevel::info, LogScope::main, reason);
    releaseSpare();
    Status st = cache_->reload();
    takeSpare();
    if (!st) logLine(LogLevel::error, LogScope::main, "cache reload failed: ", st.error());
}

bool EventLoop::drainSignalPipe() noexcept {
    // Read until the pipe is empty so no byte is stranded behind an
    // edge-triggered registration; the whole drain is one batch.
    bool reloadWanted = false;
    for (;;) {
        char bytes[16];
        Result<std::size_t> got = sys::read(fds_.pipeRead, bytes, sizeof(bytes));
        if (!got || got.value() == 0) break;
        for (std::size_t i = 0; i < got.value(); ++i) {
            if (bytes[i] == 'q') {
                logLine(LogLevel::info, LogScope::main, "shutdown signal received");
                running_ = false;
                return false;
            }
            if (bytes[i] == 'r') reloadWanted = true;
        }
        if (got.value() < sizeof(bytes)) break;
    }
    if (reloadWanted) {
        logLine(LogLevel::info, LogScope::main, "reload signal received (SIGHUP)");
        // Whatever the watches missed, the keys come from what the name
        // resolves to now, and that is what is watched from here on.
        releaseSpare();
        cacheDir_.follow();
        reload(nullptr);
    }
    return true;
}

void EventLoop::release(ConnectionSlot& slot) noexcept {
    table_.free(slot);
    resumeListener();
}

void EventLoop::pauseListener(std::int64_t until) noexcept {
    resumeAt_ = until;
    if (listenerPaused_) return;
    const platform::KEvent change = listenerChange(fds_.listener, platform::kEvDisable);
    if (Result<int> done = sys::kevent(fds_.kqueue, &change, 1, nullptr, 0, nullptr); !done) {
        logLine(LogLevel::error, LogScope::main, "kevent failed: ", done.error());
        return;
    }
    listenerPaused_ = true;
}

void EventLoop::resumeListener() noexcept {
    if (!listenerPaused_) return;
    // The listening socket is level-triggered: enabled again, it is reported
    // at once while clients are queued (FreeBSD re-runs the filter on
    // EV_ENABLE; the Linux stand-in re-adds it to epoll).
    const platform::KEvent change = listenerChange(fds_.listener, platform::kEvEnable);
    if (Result<int> done = sys::kevent(fds_.kqueue, &change, 1, nullptr, 0, nullptr); !done) {
        logLine(LogLevel::error, LogScope::main, "kevent failed: ", done.error());
        resumeAt_ = monotonicNanos() + kDescriptorRetryNs;
        return;
    }
    listenerPaused_ = false;
}

// A registration the queue refused comes back as an event with EV_ERROR and
// the errno in data; it is never readiness.
bool EventLoop::registrationRefused(const platform::KEvent& ev) noexcept {
    const ErrorCode error = sys::fromErrno(sys::Call::Kevent, static_cast<int>(ev.data));
    const auto ident = static_cast<int>(ev.ident);
    const bool pipe = reinterpret_cast<std::uintptr_t>(ev.udata) == kSignalPipeTag;
    if (pipe || ident == fds_.listener) {
        logLine(LogLevel::error, LogScope::main, "cannot watch the ",
                pipe ? "signal pipe" : "listening socket", ": ", error);
        failure_ = error;
        running_ = false;
        return false;
    }
    if (ConnectionSlot* slot = table_.find(ident)) {
        // Greeted, then unwatchable: it would wait forever unanswered.
        logLine(LogLevel::warning, LogScope::main, "cannot watch a new connection: ", error,
                " (closed)");
        release(*slot);
    }
    return true;
}

void EventLoop::logReclaims(std::int64_t now, bool atShutdown) noexcept {
    if (unloggedReclaims_ == 0) return;
    if (!atShutdown && lastReclaimLog_ && now - *lastReclaimLog_ < kReclaimLogIntervalNs) return;
    logLine(LogLevel::warning, LogScope::main, "max connections reached, closed ",
            unloggedReclaims_, unloggedReclaims_ == 1 ? " idle connection" : " idle connections");
    unloggedReclaims_ = 0;
    lastReclaimLog_ = now;
}

// Closes a connection for a new client without losing a request that
// reaches it meanwhile: whatever input is queued is read and a request line
// in it answered. Where the read-side shutdown keeps what is queued (Linux),
// it comes first: any later write fails, so the client knows to reconnect.
// Where it discards it (FreeBSD 14 and 15), the queue is read first and the
// close follows the last read at once; a request written in between is the
// one that can still be lost there.
bool EventLoop::reclaim(ConnectionSlot& victim, std::int64_t now) noexcept {
    const bool overdue = table_.lineOverdue(victim, now);
    if (platform::readShutdownEffect().keepsQueuedInput) sys::shutdownRead(victim.fd);
    const std::uint64_t before = victim.fill;
    const ReadOutcome outcome = handleReadable(victim, *cache_);
    // Part of a new line came after all: busy, unless its line was overdue
    // anyway. Complete lines that were dropped leave it as idle as it was.
    if (outcome == ReadOutcome::waiting && victim.fill != 0 && !overdue) {
        table_.noteInput(victim, before, now);
        return false;
    }
    table_.free(victim);
    if (outcome != ReadOutcome::answered) {
        ++unloggedReclaims_;
        logReclaims(now);
    }
    return true;
}

bool EventLoop::makeRoom() noexcept {
    for (;;) {
        const std::int64_t now = monotonicNanos();
        ConnectionSlot* victim = table_.victim(now);
        if (victim == nullptr) {
            // The others wait in the listen queue, without waking the loop,
            // until a connection may be closed or one closes by itself.
            const std::optional<std::int64_t> next = table_.nextVictimAt();
            pauseListener(std::max(next.value_or(now + kDescriptorRetryNs), now + kMinPauseNs));
            return false;
        }
        // Each busy one is no longer a victim: this ends.
        if (reclaim(*victim, now)) return true;
    }
}

void EventLoop::acceptPass() noexcept {
    bool reclaimed = false;
    for (std::size_t taken = 0; taken < kAcceptsPerTurn; ++taken) {
        // With every slot taken, the new client gets the slot of a connection
        // idle long enough; a client that reconnects loses nothing, while a
        // client turned away without a greeting may give up for good. One
        // such close a turn: clients that connect and leave at once (a
        // connect storm) have freed their slots by the next turn. Nobody may
        // lose a connection for a client that is not there.
        if (table_.occupiedCount() == kMaxConnections &&
            (reclaimed || !sys::readableNow(fds_.listener) || !(reclaimed = makeRoom()))) {
            return;
        }
        Result<int> accepted = sys::accept4(fds_.listener, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (!accepted) {
            const ErrorCode error = accepted.error();
            if (error == ErrorCode::ProcessFdQuotaExceeded ||
                error == ErrorCode::SystemFdQuotaExceeded) {
                // Out of descriptors, a connection is closed for the new
                // client as for a full table. Both systems take the
                // descriptor before they look at the queue (Linux
                // do_accept, FreeBSD kern_accept4), so the failure does not
                // say that a client waits. Without a connection to close,
                // the client stays queued and the level-triggered listener
                // would wake the loop again at once: paused instead.
                if (reclaimed || !sys::readableNow(fds_.listener)) return;
                if ((reclaimed = makeRoom())) continue;
                if (!descriptorShortageLogged_) {
                    logLine(LogLevel::warning, LogScope::main, "cannot accept: ", error,
                            " (new clients wait until a connection closes)");
                }
                descriptorShortageLogged_ = true;
            } else if (error == ErrorCode::WouldBlock) {
                descriptorShortageLogged_ = false;
            }
            return;
        }
        const int fd = accepted.value();
        ConnectionSlot* slot = table_.occupy(fd, monotonicNanos());
        if (!sendGreeting(fd)) {
            table_.free(*slot);
            continue;
        }
        slot->state = ConnectionState::open;
        platform::KEvent change =
            platform::makeEvent(static_cast<std::uintptr_t>(fd), platform::kFilterRead,
                                platform::kEvAdd | platform::kEvClear);
        Result<int> registered = sys::kevent(fds_.kqueue, &change, 1, nullptr, 0, nullptr);
        if (!registered) {
            logLine(LogLevel::warning, LogScope::main,
                    "cannot watch a new connection: ", registered.error(), " (closed)");
            table_.free(*slot);
        }
    }
}

Status EventLoop::run(const LoopDescriptors& fds, KeyCache& cache) noexcept {
    fds_ = fds;
    cache_ = &cache;
    running_ = true;
    failure_ = ErrorCode::None;

    platform::KEvent changes[2];
    int pending = 0;
    changes[pending++] = platform::makeEvent(static_cast<std::uintptr_t>(fds.listener),
                                             platform::kFilterRead, platform::kEvAdd);
    changes[pending++] = platform::makeEvent(
        static_cast<std::uintptr_t>(fds.pipeRead), platform::kFilterRead,
        platform::kEvAdd | platform::kEvClear, 0,
        // The tag is a number, never dereferenced; kevent carries it as a pointer.
        reinterpret_cast<void*>(kSignalPipeTag));  // NOLINT(performance-no-int-to-ptr)
    listenerPaused_ = false;
    descriptorShortageLogged_ = false;
    unloggedReclaims_ = 0;
    lastReclaimLog_.reset();
    table_.clear();
    gSignalPipeWrite.store(fds.pipeWrite, std::memory_order_relaxed);
    installHandler(SIGTERM);
    installHandler(SIGINT);
    installHandler(SIGHUP);
    takeSpare();
    cacheDir_.start(fds.kqueue, fds.cacheDirPath, fds.cacheDir.value_or(-1));

    platform::KEvent events[kEventBatch];
    while (running_) {
        // No timeout but while the listening socket is paused or a count of
        // closed idle connections waits for its line.
        std::optional<std::int64_t> due;
        if (listenerPaused_) due = resumeAt_;
        // A count waits only behind a line already written: the first is at once.
        if (unloggedReclaims_ != 0 && lastReclaimLog_) {
            const std::int64_t logAt = *lastReclaimLog_ + kReclaimLogIntervalNs;
            due = due ? std::min(*due, logAt) : logAt;
        }
        timespec left{};
        if (due) left = toTimespec(*due - monotonicNanos());
        Result<int> waited =
            sys::kevent(fds.kqueue, changes, pending, events, kEventBatch, due ? &left : nullptr);
        pending = 0;
        if (due) {
            const std::int64_t now = monotonicNanos();
            if (listenerPaused_ && now >= resumeAt_) resumeListener();
            logReclaims(now);
        }
        if (!waited) {
            logLine(LogLevel::error, LogScope::main, "kevent failed: ", waited.error());
            continue;
        }
        // New clients are taken last in a turn, and only a few: what has
        // already arrived is served first, whatever the rate of connects.
        bool clientsWaiting = false;
        for (int i = 0; i < waited.value(); ++i) {
            const platform::KEvent& ev = events[i];
            auto ident = static_cast<int>(ev.ident);
            if ((ev.flags & platform::kEvError) != 0) {
                if (!registrationRefused(ev)) break;
            } else if (reinterpret_cast<std::uintptr_t>(ev.udata) == kSignalPipeTag) {
                if (!drainSignalPipe()) break;  // the rest of the batch is dropped
            } else if (ident == fds.listener) {
                clientsWaiting = true;
            } else if (cacheDir_.owns(ev.ident)) {
                releaseSpare();
                if (cacheDir_.changed(ev)) {
                    reload("cache directory change detected, reloading");
                } else {
                    takeSpare();
                }
            } else if (ConnectionSlot* slot = table_.find(ident)) {
                const std::uint64_t before = slot->fill;
                // Still open means the reads delivered bytes: a first read
                // with nothing to give closes the connection.
                if (handleReadable(*slot, cache) == ReadOutcome::waiting) {
                    table_.noteInput(*slot, before, monotonicNanos());
                } else {
                    release(*slot);
                }
            } else {
                sys::close(ident);
            }
        }
        if (running_ && clientsWaiting) acceptPass();
    }
    // The pipe is closed after this returns; a late signal must not write
    // into whatever descriptor takes its number.
    gSignalPipeWrite.store(-1, std::memory_order_relaxed);
    logReclaims(monotonicNanos(), true);  // a count still waiting for its line
    cacheDir_.stop();
    releaseSpare();
    return failure_;  // None: an orderly shutdown
}

}  // namespace vg
