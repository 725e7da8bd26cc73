// The read-side shutdown probe, asked the way a test process asks it: no
// daemon start-up ran it first, and SIGPIPE keeps its default action, so a
// probe that raised it would end this binary.
#include "platform/unix_socket.h"

#include <gtest/gtest.h>

namespace vg::platform {
namespace {

TEST(UnixSocket, ReadShutdownProbeAsksTheKernel) {
    ASSERT_EQ(readShutdownProbeError(), 0);  // the first call: the probe runs here
#if defined(__linux__)
    const ReadShutdownEffect effect = readShutdownEffect();
    EXPECT_TRUE(effect.keepsQueuedInput && effect.refusesPeerWrites);
#else
    GTEST_SKIP() << "the answer depends on the kernel: FreeBSD 14 and early 15-CURRENT "
                    "{false, false}, the new stream code {false, true}";
#endif
}

}  // namespace
}  // namespace vg::platform
