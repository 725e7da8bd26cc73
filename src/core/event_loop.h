// The single-threaded event loop: connection table, signals through a
// self-pipe, accepting, dispatch and key-cache reloads.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "auth/protocol.h"
#include "platform/kqueue.h"

namespace vg {

class KeyCache;

inline constexpr std::size_t kMaxConnections = 64;
inline constexpr int kEventBatch = 32;
// udata tag by which the loop knows the signal pipe.
inline constexpr std::uintptr_t kSignalPipeTag = 0xDEAD;

// A connection is closed for a new client only once it has been idle this
// long: one greeted a moment ago is about to send its request, and a client
// (a mail server process) that loses it may not try again.
inline constexpr std::int64_t kMinIdleBeforeReclaimNs = 1'000'000'000;
// Closing idle connections is logged at most once per this interval, with
// the count since the last line, so sustained overload cannot flood the log.
inline constexpr std::int64_t kReclaimLogIntervalNs = 1'000'000'000;

// Fixed table of client connections; never allocates. Each entry carries the
// time (monotonic clock, nanoseconds) it was accepted or last delivered bytes.
class ConnectionTable {
public:
    void clear() noexcept;
    // Lowest-numbered empty entry, or nullptr when all are taken.
    ConnectionSlot* occupy(int fd, std::int64_t now = 0) noexcept;
    // First occupied entry whose descriptor is `fd`.
    ConnectionSlot* find(int fd) noexcept;
    // The connection delivered bytes and stays open.
    void touch(ConnectionSlot& slot, std::int64_t now) noexcept;
    // The connection idle longest among those with no partial line held, last
    // active at `idleSince` or earlier and with no input waiting unread;
    // nullptr when there is none.
    ConnectionSlot* longestIdle(std::int64_t idleSince) noexcept;
    // When the connection idle longest among those with no partial line held
    // was last active; nullopt when every occupied entry holds part of a line.
    std::optional<std::int64_t> oldestActivity() const noexcept;
    // Closes the slot's descriptor, wipes its input and empties it.
    void free(ConnectionSlot& slot) noexcept;
    // Closes every occupied entry in index order; nothing is sent to those clients.
    void closeAll() noexcept;
    std::size_t occupiedCount() const noexcept;

private:
    bool used_[kMaxConnections] = {};
    std::int64_t lastActive_[kMaxConnections] = {};
    ConnectionSlot slots_[kMaxConnections];
};

struct LoopDescriptors {
    platform::Kqueue kqueue;
    int listener = -1;
    int pipeRead = -1;
    int pipeWrite = -1;
    // Present when start-up could open the cache directory. Handed over: the
    // loop replaces it when the directory is moved or removed, and closes it.
    std::optional<int> cacheDir;
    std::string_view cacheDirPath;  // opened again by path, and for log lines
};

class EventLoop {
public:
    // Returns success once a shutdown byte has been read from the signal pipe,
    // or at once the error of a refused watch of the listening socket or the
    // signal pipe (the daemon could neither serve nor be stopped by a signal).
    Status run(const LoopDescriptors& fds, KeyCache& cache) noexcept;
    ConnectionTable& connections() noexcept { return table_; }

private:
    enum class Room : std::uint8_t { free, wait, reject };
    enum class Reclaimed : std::uint8_t { freed, busy };

    void acceptPass() noexcept;
    // With every slot taken: frees one for a new client, or pauses the
    // listener until a connection becomes idle long enough (wait), or says
    // that every slot holds part of a line (reject).
    Room makeRoom() noexcept;
    Reclaimed reclaim(ConnectionSlot& victim, std::int64_t now) noexcept;
    // Writes the rate-limited line for connections closed as idle, when due
    // or, at shutdown, whenever a count is waiting.
    void logReclaims(std::int64_t now, bool atShutdown = false) noexcept;
    // False when the batch held a shutdown request.
    bool drainSignalPipe() noexcept;
    void reload(const char* reason) noexcept;
    void cacheDirChanged(std::uint32_t notes) noexcept;
    // Opens cache_dir by path and watches it in place of the old descriptor;
    // false (logged once until a watch succeeds again) when it cannot.
    bool watchCacheDir() noexcept;
    // False when the loop cannot go on.
    bool registrationRefused(const platform::KEvent& ev) noexcept;
    // Frees a connection's slot; new clients may take it.
    void release(ConnectionSlot& slot) noexcept;
    // Stops watching the listening socket until `until` (monotonic clock) or
    // until a connection is released, whichever comes first: the pending
    // clients stay queued without waking the loop.
    void pauseListener(std::int64_t until) noexcept;
    void resumeListener() noexcept;

    LoopDescriptors fds_;
    KeyCache* cache_ = nullptr;
    bool running_ = true;
    ErrorCode failure_ = ErrorCode::None;
    int cacheDir_ = -1;  // the watched directory, owned; -1 when not watched
    bool watchLossLogged_ = false;
    bool listenerPaused_ = false;
    std::int64_t resumeAt_ = 0;
    bool descriptorShortageLogged_ = false;
    std::uint64_t unloggedReclaims_ = 0;
    std::optional<std::int64_t> lastReclaimLog_;  // none before the first line
    ConnectionTable table_;
};

// The handler for SIGTERM, SIGINT and SIGHUP: one byte into the signal pipe.
void onSignal(int signo) noexcept;

}  // namespace vg
