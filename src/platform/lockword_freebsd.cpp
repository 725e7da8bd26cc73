// Lock word wait and wake on FreeBSD: _umtx_op on a process-private word.
#include "platform/lockword.h"

#include <sys/types.h>
#include <sys/umtx.h>

namespace vg::platform {

void waitOnWord(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
    (void)::_umtx_op(reinterpret_cast<std::uint32_t*>(&word), UMTX_OP_WAIT_UINT_PRIVATE, expected,
                     nullptr, nullptr);
}

void wakeOnWord(std::atomic<std::uint32_t>& word, int count) noexcept {
    (void)::_umtx_op(reinterpret_cast<std::uint32_t*>(&word), UMTX_OP_WAKE_PRIVATE,
                     static_cast<unsigned long>(count), nullptr, nullptr);
}

}  // namespace vg::platform
