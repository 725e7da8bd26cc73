// What a process holds, as tests and benchmarks measure it: open descriptors
// resident memory and CPU time. The daemon itself never asks.
#pragma once

#include <cstdint>

namespace vg::platform {

// Number of open descriptors of process `pid`, or -1 when it cannot be read.
int openDescriptorCount(int pid) noexcept;

// Resident set size of process `pid` in bytes, or -1 when it cannot be read.
std::int64_t residentBytes(int pid) noexcept;

// User plus system CPU time of process `pid` in microseconds, or -1 when it
// cannot be read. Linux counts it in clock ticks (10 ms at USER_HZ 100).
std::int64_t cpuMicros(int pid) noexcept;

}  // namespace vg::platform
