// The single-threaded event loop: connection table, signals through a
// self-pipe, accepting, dispatch and key-cache reloads.
#pragma once

#include <cstdint>
#include <ctime>
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

// Fixed table of client connections; never allocates. Each entry carries the
// value of a counter that advances whenever a connection is accepted or
// delivers bytes, so the entry with the smallest value has been idle longest.
class ConnectionTable {
public:
    void clear() noexcept;
    // Lowest-numbered empty entry, or nullptr when all are taken.
    ConnectionSlot* occupy(int fd) noexcept;
    // First occupied entry whose descriptor is `fd`.
    ConnectionSlot* find(int fd) noexcept;
    // The connection delivered bytes and stays open.
    void touch(ConnectionSlot& slot) noexcept;
    // The counter's current value; entries accepted or touched later are newer.
    std::uint64_t now() const noexcept { return clock_; }
    // The connection idle longest among those with no partial line held, last
    // active at `notAfter` or earlier and with no input waiting unread; nullptr
    // when there is none.
    ConnectionSlot* longestIdle(std::uint64_t notAfter) noexcept;
    // Every entry is occupied and holds part of a line.
    bool allHoldPartialLines() const noexcept;
    // Closes the slot's descriptor, wipes its input and empties it.
    void free(ConnectionSlot& slot) noexcept;
    // Closes every occupied entry in index order; nothing is sent to those clients.
    void closeAll() noexcept;
    std::size_t occupiedCount() const noexcept;

private:
    bool used_[kMaxConnections] = {};
    std::uint64_t lastActive_[kMaxConnections] = {};
    std::uint64_t clock_ = 0;
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
    void acceptPass() noexcept;
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
    void pauseListener(const struct timespec& until) noexcept;
    void resumeListener() noexcept;

    LoopDescriptors fds_;
    KeyCache* cache_ = nullptr;
    bool running_ = true;
    ErrorCode failure_ = ErrorCode::None;
    int cacheDir_ = -1;  // the watched directory, owned; -1 when not watched
    bool watchLossLogged_ = false;
    bool listenerPaused_ = false;
    struct timespec resumeAt_ {};
    bool descriptorShortageLogged_ = false;
    ConnectionTable table_;
};

// The handler for SIGTERM, SIGINT and SIGHUP: one byte into the signal pipe.
void onSignal(int signo) noexcept;

}  // namespace vg
