// The single-threaded event loop: connection table, signals through a
// self-pipe, accepting, dispatch and key-cache reloads.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "auth/protocol.h"
#include "core/cache_dir_watch.h"
#include "core/connection_table.h"
#include "platform/kqueue.h"

namespace vg {

class KeyCache;

inline constexpr int kEventBatch = 32;
// udata tag by which the loop knows the signal pipe.
inline constexpr std::uintptr_t kSignalPipeTag = 0xDEAD;
// Connections accepted in one turn at the most: under a connect storm the
// requests, signals and reloads already waiting are served between turns.
inline constexpr std::size_t kAcceptsPerTurn = 16;

// Closing idle connections is logged at most once per this interval, with
// the count since the last line, so sustained overload cannot flood the log.
inline constexpr std::int64_t kReclaimLogIntervalNs = 1'000'000'000;

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
    // Accepts up to kAcceptsPerTurn new clients, no more than there is room for.
    void acceptPass() noexcept;
    // Frees a slot, and with it a descriptor, for a new client by closing the
    // connection the table's policy names; false when none may be closed
    // yet: the listener is then paused until one may.
    bool makeRoom() noexcept;
    // False when the connection turned out busy and stays.
    bool reclaim(ConnectionSlot& victim, std::int64_t now) noexcept;
    // Writes the rate-limited line for connections closed as idle, when due
    // or, at shutdown, whenever a count is waiting.
    void logReclaims(std::int64_t now, bool atShutdown = false) noexcept;
    // False when the batch held a shutdown request.
    bool drainSignalPipe() noexcept;
    void reload(const char* reason) noexcept;
    // The spare descriptor is given back for opening the keys file or a
    // directory, so that a table full of clients cannot make a reload fail.
    void releaseSpare() noexcept;
    void takeSpare() noexcept;
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
    CacheDirWatch cacheDir_;
    int spare_ = -1;
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
