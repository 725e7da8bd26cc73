// The descriptor limit the daemon starts under.
#pragma once

#include <cstdint>

namespace vg {

// Descriptors the daemon needs besides its connections: standard streams,
// lock file, listening socket, signal pipe, event queue, two directory
// watches, the spare kept for reloads and the keys file while it is read,
// with room to spare.
inline constexpr std::uint64_t kOwnDescriptors = 16;

// Raises the soft RLIMIT_NOFILE to what every connection slot and the
// daemon's own descriptors need, up to the hard limit; warns once, naming
// the numbers, when the hard limit is below that. Never lowers it.
void raiseDescriptorLimit() noexcept;

}  // namespace vg
