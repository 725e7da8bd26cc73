// Thread id on FreeBSD: libthr's pthread_getthreadid_np. libc has a stub of
// it that returns 0 for every thread unless libthr is linked, which the build
// does (Threads::Threads).
#include "platform/thread_id.h"

#include <pthread_np.h>

namespace vg::platform {

std::int32_t currentThreadId() noexcept {
    return static_cast<std::int32_t>(::pthread_getthreadid_np());
}

}  // namespace vg::platform
