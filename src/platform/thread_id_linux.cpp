// Thread id on Linux: gettid(2), cached per thread since every log line asks
// for it and the system call costs more than the rest of the lock.
#include "platform/thread_id.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vg::platform {

namespace {

thread_local std::int32_t tCachedId = 0;

// A forked child runs on a thread with a new id.
void forgetAfterFork() {
    tCachedId = 0;
}

const bool kAtForkInstalled = [] {
    return ::pthread_atfork(nullptr, nullptr, forgetAfterFork) == 0;
}();

}  // namespace

std::int32_t currentThreadId() noexcept {
    (void)kAtForkInstalled;
    if (tCachedId == 0) tCachedId = static_cast<std::int32_t>(::syscall(SYS_gettid));
    return tCachedId;
}

}  // namespace vg::platform
