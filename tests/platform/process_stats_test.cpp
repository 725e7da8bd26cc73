// The process probes the load tests rely on: they must see a descriptor
// come and go, and report some resident memory.
#include "platform/process_stats.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

namespace vg::platform {
namespace {

TEST(ProcessStats, CountsOwnDescriptorsAndMemory) {
    const int before = openDescriptorCount(::getpid());
    ASSERT_GT(before, 0);
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(openDescriptorCount(::getpid()), before + 1);
    ::close(fd);
    EXPECT_EQ(openDescriptorCount(::getpid()), before);
    EXPECT_GT(residentBytes(::getpid()), 0);
}

TEST(ProcessStats, CpuTimeGrowsWithWork) {
    const std::int64_t before = cpuMicros(::getpid());
    ASSERT_GE(before, 0);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(60);
    volatile unsigned spin = 0;
    while (std::chrono::steady_clock::now() < until) spin = spin + 1;
    EXPECT_GE(cpuMicros(::getpid()) - before, 20000);  // of 60 ms spent on the CPU
}

TEST(ProcessStats, NoSuchProcessIsMinusOne) {
    // Above the largest pid either system hands out.
    EXPECT_EQ(openDescriptorCount(99999999), -1);
    EXPECT_EQ(residentBytes(99999999), -1);
    EXPECT_EQ(cpuMicros(99999999), -1);
}

}  // namespace
}  // namespace vg::platform
