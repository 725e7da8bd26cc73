// The connection table, and the event loop run in a thread of its own against
// a real queue, real sockets and a real signal pipe.
#include "core/event_loop.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "keycache/key_cache.h"
#include "support/capture_stderr.h"

namespace vg {
namespace {

using namespace std::chrono_literals;

bool isOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

int openNull() {
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

TEST(ConnectionTable, LowestFreeSlotFirstNoneWhenFullFreedSlotsReused) {
    auto table = std::make_unique<ConnectionTable>();
    table->clear();
    ConnectionSlot* slots[kMaxConnections];
    for (std::size_t i = 0; i < kMaxConnections; ++i) {
        slots[i] = table->occupy(openNull());
        ASSERT_NE(slots[i], nullptr) << i;
        if (i > 0) {
            ASSERT_GT(slots[i], slots[i - 1]) << "slot " << i << " is not the lowest free";
        }
    }
    const int extra = openNull();
    EXPECT_EQ(table->occupy(extra), nullptr);
    ::close(extra);

    // Freeing closes the descriptor and wipes the input.
    const int freed = slots[20]->fd;
    std::memcpy(slots[20]->buffer, "AUTH\t1", 6);
    slots[20]->fill = 6;
    table->free(*slots[20]);
    table->free(*slots[10]);
    EXPECT_FALSE(isOpen(freed));
    EXPECT_TRUE(
        std::all_of(slots[20]->buffer, slots[20]->buffer + 6, [](char c) { return c == 0; }));
    EXPECT_EQ(table->find(freed), nullptr);

    // Of two freed slots the lower comes back first.
    const int first = openNull();
    const int second = openNull();
    EXPECT_EQ(table->occupy(first), slots[10]);
    EXPECT_EQ(table->occupy(second), slots[20]);
    EXPECT_EQ(table->find(second), slots[20]);
    table->closeAll();
    EXPECT_FALSE(isOpen(first));
    EXPECT_FALSE(isOpen(second));
}

// The loop's descriptors: a queue, a non-blocking signal pipe, a "listener"
// that never becomes readable and an empty key cache. The loop installs its
// signal handlers; the test process gets its own back afterwards.
class LoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 3; ++i) ::sigaction(kSignals[i], nullptr, &saved_[i]);
        kq_ = platform::kqueue();
        ASSERT_GE(kq_.fd, 0);
        ASSERT_EQ(::pipe(pipe_), 0);
        for (int fd : pipe_) ::fcntl(fd, F_SETFL, O_NONBLOCK);
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, listener_), 0);
        cache_.init(dir_.path(), HashAlgorithm::sha256);
    }
    void TearDown() override {
        for (int i = 0; i < 3; ++i) ::sigaction(kSignals[i], &saved_[i], nullptr);
        for (int fd : {pipe_[0], pipe_[1], listener_[0], listener_[1]}) ::close(fd);
        platform::closeKqueue(kq_);
        cache_.deinit();
    }

    // Registers `fd` for reading in the loop's queue before the loop runs.
    void registerRead(int fd) {
        platform::KEvent ch = platform::makeEvent(static_cast<std::uintptr_t>(fd),
                                                  platform::kFilterRead, platform::kEvAdd);
        ASSERT_EQ(platform::kevent(kq_, &ch, 1, nullptr, 0, nullptr), 0);
    }

    // Runs the loop until `done` holds (false after 3 s), then stops it.
    bool runUntil(const std::function<bool()>& done) {
        LoopDescriptors fds;
        fds.kqueue = kq_;
        fds.listener = listener_[0];
        fds.pipeRead = pipe_[0];
        fds.pipeWrite = pipe_[1];
        test::CaptureStderr log;
        std::thread thread([&] { loop_->run(fds, cache_); });
        bool met = false;
        for (auto deadline = std::chrono::steady_clock::now() + 3s;
             !met && std::chrono::steady_clock::now() < deadline;) {
            met = done();
            if (!met) std::this_thread::sleep_for(2ms);
        }
        EXPECT_EQ(::write(pipe_[1], "q", 1), 1);
        thread.join();
        log_ = log.text();
        return met;
    }

    static constexpr int kSignals[3] = {SIGTERM, SIGINT, SIGHUP};
    struct sigaction saved_[3]{};
    platform::Kqueue kq_;
    int pipe_[2] = {-1, -1};
    int listener_[2] = {-1, -1};
    test::TempDir dir_;
    KeyCache cache_;
    std::unique_ptr<EventLoop> loop_ = std::make_unique<EventLoop>();  // 256 KiB of slots
    std::string log_;
};

TEST_F(LoopTest, EventForAnUnknownDescriptorClosesIt) {
    int stray[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, stray), 0);
    registerRead(stray[0]);
    ASSERT_EQ(::write(stray[1], "x", 1), 1);
    EXPECT_TRUE(runUntil([&] { return !isOpen(stray[0]); }));
    EXPECT_EQ(log_, "info(main): shutdown signal received\n");
    if (isOpen(stray[0])) ::close(stray[0]);
    ::close(stray[1]);
}

}  // namespace
}  // namespace vg
