// The event loop: one kqueue, the signal pipe, the listening socket, the
// cache directory watch and up to 64 client connections.
#include "core/event_loop.h"

#include <sys/socket.h>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <ctime>

#include "core/files.h"
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

platform::KEvent directoryWatch(int fd) noexcept {
    // NOTE_DELETE and NOTE_RENAME: the directory itself removed or moved
    // away. FreeBSD's watch stays on the vnode, so after a rename it follows
    // the moved directory, which nobody writes to any more.
    return platform::makeEvent(
        static_cast<std::uintptr_t>(fd), platform::kFilterVnode,
        platform::kEvAdd | platform::kEvClear,
        platform::kNoteDelete | platform::kNoteWrite | platform::kNoteLink | platform::kNoteRename);
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

void ConnectionTable::clear() noexcept {
    for (std::size_t i = 0; i < kMaxConnections; ++i) {
        used_[i] = false;
        slots_[i].fill = 0;
        slots_[i].fd = -1;
        slots_[i].state = ConnectionState::accepted;
    }
}

ConnectionSlot* ConnectionTable::occupy(int fd, std::int64_t now) noexcept {
    for (std::size_t i = 0; i < kMaxConnections; ++i) {
        if (!used_[i]) {
            used_[i] = true;
            lastActive_[i] = now;
            slots_[i].fill = 0;
            slots_[i].fd = fd;
            slots_[i].state = ConnectionState::accepted;
            return &slots_[i];
        }
    }
    return nullptr;
}

ConnectionSlot* ConnectionTable::find(int fd) noexcept {
    for (std::size_t i = 0; i < kMaxConnections; ++i) {
        if (used_[i] && slots_[i].fd == fd) return &slots_[i];
    }
    return nullptr;
}

void ConnectionTable::touch(ConnectionSlot& slot, std::int64_t now) noexcept {
    lastActive_[static_cast<std::size_t>(&slot - slots_)] = now;
}

ConnectionSlot* ConnectionTable::longestIdle(std::int64_t idleSince) noexcept {
    // Candidates in ascending order of activity until one has nothing waiting:
    // a connection whose input is unread is busy, whatever its time says, and
    // its event may be in the batch being handled.
    bool skipped[kMaxConnections] = {};
    for (;;) {
        std::size_t best = kMaxConnections;
        for (std::size_t i = 0; i < kMaxConnections; ++i) {
            if (!used_[i] || slots_[i].fill != 0 || skipped[i]) continue;
            if (lastActive_[i] > idleSince) continue;
            if (best == kMaxConnections || lastActive_[i] < lastActive_[best]) best = i;
        }
        if (best == kMaxConnections) return nullptr;
        if (!sys::inputPending(slots_[best].fd)) return &slots_[best];
        skipped[best] = true;
    }
}

std::optional<std::int64_t> ConnectionTable::oldestActivity() const noexcept {
    std::optional<std::int64_t> oldest;
    for (std::size_t i = 0; i < kMaxConnections; ++i) {
        if (!used_[i] || slots_[i].fill != 0) continue;
        if (!oldest || lastActive_[i] < *oldest) oldest = lastActive_[i];
    }
    return oldest;
}

void ConnectionTable::free(ConnectionSlot& slot) noexcept {
    auto index = static_cast<std::size_t>(&slot - slots_);
    sys::close(slot.fd);
    wipeSlotInput(slot);
    slot.fd = -1;
    used_[index] = false;
}

void ConnectionTable::closeAll() noexcept {
    for (std::size_t i = 0; i < kMaxConnections; ++i) {
        if (used_[i]) free(slots_[i]);
    }
}

std::size_t ConnectionTable::occupiedCount() const noexcept {
    std::size_t n = 0;
    for (bool u : used_) n += u ? 1 : 0;
    return n;
}

void EventLoop::reload(const char* reason) noexcept {
    if (reason != nullptr) logLine(LogLevel::info, LogScope::main, reason);
    Status st = cache_->reload();
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
        // A directory that could not be watched is looked for again.
        if (cacheDir_ < 0) (void)watchCacheDir();
        reload(nullptr);
    }
    return true;
}

void EventLoop::cacheDirChanged(std::uint32_t notes) noexcept {
    if ((notes & (platform::kNoteDelete | platform::kNoteRename)) != 0) {
        logLine(LogLevel::info, LogScope::main, "cache dir ", fds_.cacheDirPath,
                " was moved or removed, opening it again");
        // Nothing at the path: the keys in use stay until a SIGHUP finds it.
        if (!watchCacheDir()) return;
    }
    reload("cache directory change detected, reloading");
}

bool EventLoop::watchCacheDir() noexcept {
    if (cacheDir_ >= 0) sys::close(cacheDir_);  // its registration goes with it
    cacheDir_ = -1;
    Result<int> opened = openDirectoryForWatching(fds_.cacheDirPath);
    if (!opened) {
        if (!watchLossLogged_) {
            logLine(LogLevel::warning, LogScope::main, "cannot open cache dir ", fds_.cacheDirPath,
                    " for watching: ", opened.error(), " (reload on SIGHUP only)");
        }
        watchLossLogged_ = true;
        return false;
    }
    const platform::KEvent change = directoryWatch(opened.value());
    if (Result<int> added = sys::kevent(fds_.kqueue, &change, 1, nullptr, 0, nullptr); !added) {
        sys::close(opened.value());
        if (!watchLossLogged_) {
            logLine(LogLevel::warning, LogScope::main, "cannot watch cache dir ", fds_.cacheDirPath,
                    ": ", added.error(), " (reload on SIGHUP only)");
        }
        watchLossLogged_ = true;
        return false;
    }
    cacheDir_ = opened.value();
    if (watchLossLogged_) {
        logLine(LogLevel::info, LogScope::main, "watching cache dir ", fds_.cacheDirPath, " again");
    }
    watchLossLogged_ = false;
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
    if (cacheDir_ >= 0 && ident == cacheDir_) {
        logLine(LogLevel::warning, LogScope::main, "cannot watch cache dir ", fds_.cacheDirPath,
                ": ", error, " (reload on SIGHUP only)");
        sys::close(cacheDir_);
        cacheDir_ = -1;
        watchLossLogged_ = true;
    } else if (ConnectionSlot* slot = table_.find(ident)) {
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

// Closes an idle connection for a new client without losing a request that
// reaches it meanwhile: whatever input is queued is read and a request line
// in it answered. On Linux the read-side shutdown comes first: what is
// queued stays readable and any later write fails, so the client knows to
// reconnect. FreeBSD discards queued input on that shutdown, so there the
// queue is read first and the close follows the last read at once; a request
// written in between is the one that can still be lost.
EventLoop::Reclaimed EventLoop::reclaim(ConnectionSlot& victim, std::int64_t now) noexcept {
    if (platform::readShutdownEffect().keepsQueuedInput) sys::shutdownRead(victim.fd);
    const ReadOutcome outcome = handleReadable(victim, *cache_);
    if (outcome == ReadOutcome::waiting) {
        table_.touch(victim, now);  // bytes came after all: not idle
        return Reclaimed::busy;
    }
    table_.free(victim);
    if (outcome == ReadOutcome::ended) {
        ++unloggedReclaims_;
        logReclaims(now);
    }
    return Reclaimed::freed;
}

EventLoop::Room EventLoop::makeRoom() noexcept {
    for (;;) {
        const std::int64_t now = monotonicNanos();
        ConnectionSlot* victim = table_.longestIdle(now - kMinIdleBeforeReclaimNs);
        if (victim == nullptr) {
            const std::optional<std::int64_t> oldest = table_.oldestActivity();
            // Only a table of half-received lines turns new clients away.
            if (!oldest) return Room::reject;
            // The others wait in the listen queue, without waking the loop,
            // until the idlest connection has been idle long enough or one
            // closes.
            pauseListener(std::max(*oldest + kMinIdleBeforeReclaimNs, now + kMinPauseNs));
            return Room::wait;
        }
        if (reclaim(*victim, now) == Reclaimed::freed) return Room::free;
    }
}

void EventLoop::acceptPass() noexcept {
    for (;;) {
        // With every slot taken, the new client gets the slot of a connection
        // idle long enough; a client that reconnects loses nothing, while a
        // client turned away without a greeting may give up for good.
        Room room = Room::free;
        if (table_.occupiedCount() == kMaxConnections) {
            // Nobody may lose a connection for a client that is not there.
            if (!sys::readableNow(fds_.listener)) return;
            room = makeRoom();
            if (room == Room::wait) return;
        }
        Result<int> accepted = sys::accept4(fds_.listener, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (!accepted) {
            const ErrorCode error = accepted.error();
            if (error == ErrorCode::ProcessFdQuotaExceeded ||
                error == ErrorCode::SystemFdQuotaExceeded) {
                // The client stays queued and the level-triggered listener
                // would wake the loop again at once, for as long as no
                // descriptor frees (both systems): a busy loop. Paused
                // instead, until a connection closes or the retry is due.
                if (!descriptorShortageLogged_) {
                    logLine(LogLevel::warning, LogScope::main, "cannot accept: ", error,
                            " (new clients wait until a connection closes)");
                }
                descriptorShortageLogged_ = true;
                pauseListener(monotonicNanos() + kDescriptorRetryNs);
            } else if (error == ErrorCode::WouldBlock) {
                descriptorShortageLogged_ = false;
            }
            return;
        }
        int fd = accepted.value();
        if (room == Room::reject) {
            logLine(LogLevel::warning, LogScope::main, "max connections reached, rejecting");
            sys::close(fd);
            continue;
        }
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

    platform::KEvent changes[3];
    int pending = 0;
    changes[pending++] = platform::makeEvent(static_cast<std::uintptr_t>(fds.listener),
                                             platform::kFilterRead, platform::kEvAdd);
    changes[pending++] = platform::makeEvent(
        static_cast<std::uintptr_t>(fds.pipeRead), platform::kFilterRead,
        platform::kEvAdd | platform::kEvClear, 0,
        // The tag is a number, never dereferenced; kevent carries it as a pointer.
        reinterpret_cast<void*>(kSignalPipeTag));  // NOLINT(performance-no-int-to-ptr)
    cacheDir_ = fds.cacheDir.value_or(-1);
    // Start-up has said why there is no watch; a SIGHUP tries again quietly.
    watchLossLogged_ = cacheDir_ < 0;
    listenerPaused_ = false;
    descriptorShortageLogged_ = false;
    unloggedReclaims_ = 0;
    lastReclaimLog_.reset();
    if (cacheDir_ >= 0) changes[pending++] = directoryWatch(cacheDir_);
    table_.clear();
    gSignalPipeWrite.store(fds.pipeWrite, std::memory_order_relaxed);
    installHandler(SIGTERM);
    installHandler(SIGINT);
    installHandler(SIGHUP);

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
        for (int i = 0; i < waited.value(); ++i) {
            const platform::KEvent& ev = events[i];
            auto ident = static_cast<int>(ev.ident);
            if ((ev.flags & platform::kEvError) != 0) {
                if (!registrationRefused(ev)) break;
            } else if (reinterpret_cast<std::uintptr_t>(ev.udata) == kSignalPipeTag) {
                if (!drainSignalPipe()) break;  // the rest of the batch is dropped
            } else if (ident == fds.listener) {
                acceptPass();
            } else if (cacheDir_ >= 0 && ident == cacheDir_) {
                cacheDirChanged(ev.fflags);
            } else if (ConnectionSlot* slot = table_.find(ident)) {
                // Still open means the reads delivered bytes: a first read
                // with nothing to give closes the connection.
                if (handleReadable(*slot, cache) == ReadOutcome::waiting) {
                    table_.touch(*slot, monotonicNanos());
                } else {
                    release(*slot);
                }
            } else {
                sys::close(ident);
            }
        }
    }
    // The pipe is closed after this returns; a late signal must not write
    // into whatever descriptor takes its number.
    gSignalPipeWrite.store(-1, std::memory_order_relaxed);
    logReclaims(monotonicNanos(), true);  // a count still waiting for its line
    if (cacheDir_ >= 0) sys::close(cacheDir_);
    cacheDir_ = -1;
    return failure_;  // None: an orderly shutdown
}

}  // namespace vg
