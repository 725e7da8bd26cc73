// Binding and connecting a Unix-domain stream socket by path.
#pragma once

#include <cstddef>
#include <string_view>

namespace vg::platform {

// Bytes available for the path in the system's sockaddr_un, terminator
// included. Paths must be shorter than this (FreeBSD: 104 of 106 bytes).
inline constexpr std::size_t kUnixPathCapacity = 104;

// bind(2) to `path` (shorter than kUnixPathCapacity); -1 with errno on failure.
int bindUnix(int fd, std::string_view path) noexcept;

// connect(2) to `path` (shorter than kUnixPathCapacity); -1 with errno on failure.
int connectUnix(int fd, std::string_view path) noexcept;

// What shutdown(SHUT_RD) on our end of a connected stream does.
struct ReadShutdownEffect {
    // Input queued before the call can still be read (then end of stream).
    bool keepsQueuedInput;
    // The peer's later writes fail with EPIPE, so it knows to reconnect.
    bool refusesPeerWrites;
};
// The kernel's answer to a probe on a socketpair, asked on the first call
// (the daemon's start-up, or a test process's first use) and kept.
ReadShutdownEffect readShutdownEffect() noexcept;
// 0 when the probe got its answer; otherwise the errno of the step that
// failed, and readShutdownEffect() is {false, false}: neither is relied on.
int readShutdownProbeError() noexcept;

}  // namespace vg::platform
