// The connection table: lowest free entry first, and the idle clocks that
// decide which connection a new client may take the place of.
#include "core/connection_table.h"

#include "log/syscalls.h"

namespace vg {

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
            lineBegun_[i] = now;
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

void ConnectionTable::noteInput(ConnectionSlot& slot, std::uint64_t fillBefore,
                                std::int64_t now) noexcept {
    if (slot.fill == 0) return;
    const std::size_t i = indexOf(slot);
    lastActive_[i] = now;
    // A line ending in the same read as the next begins keeps the older start:
    // only a client that trickles can tell, and the deadline is for it.
    if (fillBefore == 0) lineBegun_[i] = now;
}

std::int64_t ConnectionTable::eligibleAt(std::size_t i) const noexcept {
    return slots_[i].fill == 0 ? lastActive_[i] + kMinIdleBeforeReclaimNs
                               : lineBegun_[i] + kUnfinishedLineDeadlineNs;
}

ConnectionSlot* ConnectionTable::victim(std::int64_t now) noexcept {
    // Idle ones first, longest idle first; an overdue line only when no
    // connection is idle, the oldest line first.
    std::size_t idle = kMaxConnections;
    std::size_t overdue = kMaxConnections;
    for (std::size_t i = 0; i < kMaxConnections; ++i) {
        if (!used_[i] || eligibleAt(i) > now) continue;
        if (slots_[i].fill == 0) {
            if (idle == kMaxConnections || lastActive_[i] < lastActive_[idle]) idle = i;
        } else if (overdue == kMaxConnections || lineBegun_[i] < lineBegun_[overdue]) {
            overdue = i;
        }
    }
    const std::size_t chosen = idle != kMaxConnections ? idle : overdue;
    if (chosen == kMaxConnections) return nullptr;
    return &slots_[chosen];
}

bool ConnectionTable::lineOverdue(const ConnectionSlot& slot, std::int64_t now) const noexcept {
    const std::size_t i = indexOf(slot);
    return slot.fill != 0 && lineBegun_[i] + kUnfinishedLineDeadlineNs <= now;
}

std::optional<std::int64_t> ConnectionTable::nextVictimAt() const noexcept {
    std::optional<std::int64_t> next;
    for (std::size_t i = 0; i < kMaxConnections; ++i) {
        if (used_[i] && (!next || eligibleAt(i) < *next)) next = eligibleAt(i);
    }
    return next;
}

void ConnectionTable::free(ConnectionSlot& slot) noexcept {
    sys::close(slot.fd);
    wipeSlotInput(slot);
    slot.fd = -1;
    used_[indexOf(slot)] = false;
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

}  // namespace vg
