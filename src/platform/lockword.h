// Waiting on and waking a 32-bit lock word, the kernel half of Mutex.
#pragma once

#include <atomic>
#include <cstdint>

namespace vg::platform {

// Sleeps while the word still holds `expected`. May return early for any
// reason (signal, spurious wake, the word already changed): callers loop.
void waitOnWord(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept;

// Wakes at most `count` threads sleeping in waitOnWord on this word.
void wakeOnWord(std::atomic<std::uint32_t>& word, int count) noexcept;

}  // namespace vg::platform
