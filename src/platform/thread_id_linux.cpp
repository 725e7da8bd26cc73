// Thread id on Linux: gettid(2) through syscall, since glibc before 2.30 has no wrapper.
#include "platform/thread_id.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace vg::platform {

std::int32_t currentThreadId() noexcept {
    return static_cast<std::int32_t>(::syscall(SYS_gettid));
}

}  // namespace vg::platform
