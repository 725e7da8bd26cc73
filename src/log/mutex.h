// A lock in one 32-bit word: 0 unlocked, 1 locked, 3 locked with a possible waiter.
#pragma once

#include <atomic>
#include <cstdint>

namespace vg {

class Mutex {
public:
    Mutex() noexcept = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() noexcept;
    void unlock() noexcept;

    // The raw word, for tests and assertions.
    std::uint32_t word() const noexcept { return word_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint32_t> word_{0};
};

// Scoped hold of a Mutex (or anything with lock/unlock).
template <typename Lockable>
class LockGuard {
public:
    explicit LockGuard(Lockable& lockable) noexcept : lockable_(lockable) { lockable_.lock(); }
    ~LockGuard() { lockable_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    Lockable& lockable_;
};

}  // namespace vg
