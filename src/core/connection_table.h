// The fixed table of client connections and its reclaim policy: which
// connection may be closed for a new client, and from when.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "auth/protocol.h"

namespace vg {

inline constexpr std::size_t kMaxConnections = 64;

// A connection is closed for a new client only once it has been idle this
// long: one greeted a moment ago is about to send its request, and a client
// (a mail server process) that loses it may not try again.
inline constexpr std::int64_t kMinIdleBeforeReclaimNs = 1'000'000'000;
// A line begun this long ago and still unfinished no longer protects its
// connection: no client that means to send a request trickles it, and no
// request is lost by closing it, since none is complete.
inline constexpr std::int64_t kUnfinishedLineDeadlineNs = 5'000'000'000;

// Never allocates. Times are on the monotonic clock, in nanoseconds.
class ConnectionTable {
public:
    void clear() noexcept;
    // Lowest-numbered empty entry, or nullptr when all are taken. Its idle
    // clock starts now.
    ConnectionSlot* occupy(int fd, std::int64_t now = 0) noexcept;
    // First occupied entry whose descriptor is `fd`.
    ConnectionSlot* find(int fd) noexcept;
    // The connection was read and stays open; it held `fillBefore` bytes of
    // an unfinished line before. Only bytes of a line still being received
    // reset its idle clock: complete lines that are dropped unanswered (a
    // client saying something every second) do not make it busy.
    void noteInput(ConnectionSlot& slot, std::uint64_t fillBefore, std::int64_t now) noexcept;
    // Whom to close for a new client: the connection idle longest, if one has
    // been idle for the minimum time; else the one whose unfinished line is
    // oldest, if begun before the deadline. nullptr when none may be closed.
    ConnectionSlot* victim(std::int64_t now) noexcept;
    // Whether `slot` was chosen for its overdue line rather than for idleness.
    bool lineOverdue(const ConnectionSlot& slot, std::int64_t now) const noexcept;
    // When the next connection becomes a victim if nothing happens meanwhile;
    // nullopt for an empty table.
    std::optional<std::int64_t> nextVictimAt() const noexcept;
    // Closes the slot's descriptor, wipes its input and empties it.
    void free(ConnectionSlot& slot) noexcept;
    // Closes every occupied entry in index order; nothing is sent to those clients.
    void closeAll() noexcept;
    std::size_t occupiedCount() const noexcept;

private:
    std::size_t indexOf(const ConnectionSlot& slot) const noexcept {
        return static_cast<std::size_t>(&slot - slots_);
    }
    // When the entry may be closed for a new client.
    std::int64_t eligibleAt(std::size_t i) const noexcept;

    bool used_[kMaxConnections] = {};
    // Accepted, or last received part of an unfinished line.
    std::int64_t lastActive_[kMaxConnections] = {};
    // When the unfinished line held (fill != 0) began.
    std::int64_t lineBegun_[kMaxConnections] = {};
    ConnectionSlot slots_[kMaxConnections];
};

}  // namespace vg
