// Start-up, serving and shutdown of the daemon process.
#pragma once

namespace vg {

// Returns the exit status: 0 after an orderly shutdown, 1 after a failed start.
int runDaemon(int argc, const char* const* argv) noexcept;

}  // namespace vg
