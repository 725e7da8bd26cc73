// The event queue the loop is written against: kqueue(2) and kevent(2) with
// struct kevent. On FreeBSD these are the system's own; elsewhere a backend
// of ours stands in with the semantics the loop relies on (see kqueue_linux.cpp).
#pragma once

#include <cstdint>
#include <ctime>

#if defined(__FreeBSD__)
#include <sys/event.h>
#endif

namespace vg::platform {

#if defined(__FreeBSD__)
using KEvent = struct ::kevent;
inline constexpr std::int16_t kFilterRead = EVFILT_READ;
inline constexpr std::int16_t kFilterVnode = EVFILT_VNODE;
inline constexpr std::uint16_t kEvAdd = EV_ADD;
inline constexpr std::uint16_t kEvClear = EV_CLEAR;
inline constexpr std::uint16_t kEvEnable = EV_ENABLE;
inline constexpr std::uint16_t kEvDisable = EV_DISABLE;
inline constexpr std::uint16_t kEvEof = EV_EOF;
inline constexpr std::uint16_t kEvError = EV_ERROR;
inline constexpr std::uint32_t kNoteDelete = NOTE_DELETE;
inline constexpr std::uint32_t kNoteWrite = NOTE_WRITE;
inline constexpr std::uint32_t kNoteLink = NOTE_LINK;
inline constexpr std::uint32_t kNoteRename = NOTE_RENAME;
#else
// FreeBSD's 64-byte layout, kept so the loop's change lists look the same.
struct KEvent {
    std::uintptr_t ident;
    std::int16_t filter;
    std::uint16_t flags;
    std::uint32_t fflags;
    std::int64_t data;
    void* udata;
    std::uint64_t ext[4];
};
static_assert(sizeof(KEvent) == 64);
inline constexpr std::int16_t kFilterRead = -1;
inline constexpr std::int16_t kFilterVnode = -4;
inline constexpr std::uint16_t kEvAdd = 0x0001;
inline constexpr std::uint16_t kEvClear = 0x0020;
inline constexpr std::uint16_t kEvEnable = 0x0004;
inline constexpr std::uint16_t kEvDisable = 0x0008;
inline constexpr std::uint16_t kEvEof = 0x8000;
inline constexpr std::uint16_t kEvError = 0x4000;
inline constexpr std::uint32_t kNoteDelete = 0x0001;
inline constexpr std::uint32_t kNoteWrite = 0x0002;
inline constexpr std::uint32_t kNoteLink = 0x0010;
inline constexpr std::uint32_t kNoteRename = 0x0020;
#endif

// EV_SET: every field not given is zero.
inline KEvent makeEvent(std::uintptr_t ident, std::int16_t filter, std::uint16_t flags,
                        std::uint32_t fflags = 0, void* udata = nullptr) noexcept {
    KEvent ev{};
    ev.ident = ident;
    ev.filter = filter;
    ev.flags = flags;
    ev.fflags = fflags;
    ev.udata = udata;
    return ev;
}

// What a backend keeps for one queue beside its descriptor (none on FreeBSD).
struct QueueState;

// One open queue: created by kqueue(), released by closeKqueue() only.
struct Kqueue {
    int fd = -1;
    QueueState* state = nullptr;
};

// kqueue(2): a new queue, close-on-exec; fd -1 with errno on failure.
Kqueue kqueue() noexcept;

// Closes the queue with everything it holds. close(2) on the descriptor alone
// would leave a backend's state behind.
void closeKqueue(Kqueue kq) noexcept;

// kevent(2): applies `changes` (EV_ADD, or EV_ENABLE / EV_DISABLE of an
// existing registration; an enabled level-triggered one that is ready is
// reported again at once), then waits for up to `nevents` events
// (timeout nullptr: no limit). A change that fails comes back as an event
// with kEvError in flags and the errno in data while `events` has room, and
// the call then returns without waiting; with no room left it fails with
// that errno. Returns the number of events, or -1 with errno (EINTR when a
// signal interrupted the wait).
int kevent(Kqueue kq, const KEvent* changes, int nchanges, KEvent* events, int nevents,
           const struct timespec* timeout) noexcept;

}  // namespace vg::platform
