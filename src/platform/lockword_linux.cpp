// Lock word wait and wake on Linux: the private futex operations.
#include "platform/lockword.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vg::platform {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
              "the futex must see the bare word");

void waitOnWord(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
    // Result ignored: EAGAIN (word changed) and EINTR just send the caller round its loop.
    (void)::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE,
                    expected, nullptr, nullptr, 0);
}

void wakeOnWord(std::atomic<std::uint32_t>& word, int count) noexcept {
    (void)::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count,
                    nullptr, nullptr, 0);
}

}  // namespace vg::platform
