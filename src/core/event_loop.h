// The single-threaded event loop: connection table, signals through a
// self-pipe, accepting, dispatch and key-cache reloads.
#pragma once

#include <cstdint>
#include <optional>

#include "auth/protocol.h"

namespace vg {

class KeyCache;

inline constexpr std::size_t kMaxConnections = 64;
inline constexpr int kEventBatch = 32;
// udata tag by which the loop knows the signal pipe.
inline constexpr std::uintptr_t kSignalPipeTag = 0xDEAD;

// Fixed table of client connections; never allocates.
class ConnectionTable {
public:
    void clear() noexcept;
    // Lowest-numbered empty entry, or nullptr when all are taken.
    ConnectionSlot* occupy(int fd) noexcept;
    // First occupied entry whose descriptor is `fd`.
    ConnectionSlot* find(int fd) noexcept;
    // Closes the slot's descriptor, wipes its input and empties it.
    void free(ConnectionSlot& slot) noexcept;
    // Closes every occupied entry in index order; nothing is sent to those clients.
    void closeAll() noexcept;
    std::size_t occupiedCount() const noexcept;

private:
    bool used_[kMaxConnections] = {};
    ConnectionSlot slots_[kMaxConnections];
};

struct LoopDescriptors {
    int kqueue = -1;
    int listener = -1;
    int pipeRead = -1;
    int pipeWrite = -1;
    std::optional<int> cacheDir;  // present only when the directory watch is active
};

class EventLoop {
public:
    // Returns once a shutdown byte has been read from the signal pipe.
    void run(const LoopDescriptors& fds, KeyCache& cache) noexcept;
    ConnectionTable& connections() noexcept { return table_; }

private:
    void acceptPass() noexcept;
    // False when the batch held a shutdown request.
    bool drainSignalPipe() noexcept;
    void reload(const char* reason) noexcept;

    LoopDescriptors fds_;
    KeyCache* cache_ = nullptr;
    bool running_ = true;
    ConnectionTable table_;
};

// The handler for SIGTERM, SIGINT and SIGHUP: one byte into the signal pipe.
void onSignal(int signo) noexcept;

}  // namespace vg
