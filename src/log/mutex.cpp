// Mutex on the platform's lock-word wait and wake.
#include "log/mutex.h"

#include "platform/lockword.h"

namespace vg {

namespace {
constexpr std::uint32_t kLocked = 1;
constexpr std::uint32_t kContended = 3;
}  // namespace

void Mutex::lock() noexcept {
    if ((word_.fetch_or(kLocked, std::memory_order_acquire) & kLocked) == 0) return;
    if (word_.load(std::memory_order_relaxed) == kContended)
        platform::waitOnWord(word_, kContended);
    // Whoever took the slow path holds the lock at 3, so its unlock always wakes:
    // a wake may be wasted, but no waiter is ever left asleep.
    while (word_.exchange(kContended, std::memory_order_acquire) != 0) {
        platform::waitOnWord(word_, kContended);
    }
}

void Mutex::unlock() noexcept {
    if (word_.exchange(0, std::memory_order_release) == kContended) platform::wakeOnWord(word_, 1);
}

}  // namespace vg
