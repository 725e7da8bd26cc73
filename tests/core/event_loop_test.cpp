// The connection table, and the event loop run in a child process against a
// real queue, real sockets and a real signal pipe.
#include "core/event_loop.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "keycache/key_cache.h"
#include "log/syscalls.h"
#include "support/daemon_process.h"

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

// Whom a new client may replace: connections idle for the minimum time,
// longest idle first, and only then one whose unfinished line is overdue.
// Complete lines leave a connection as idle as it was.
TEST(ConnectionTable, VictimsIdleFirstThenOverdueLines) {
    constexpr std::int64_t kSecond = 1'000'000'000;
    auto table = std::make_unique<ConnectionTable>();
    table->clear();
    ConnectionSlot* talker = table->occupy(openNull(), 0);    // complete lines only
    ConnectionSlot* trickler = table->occupy(openNull(), 0);  // part of a line
    ConnectionSlot* quiet = table->occupy(openNull(), kSecond / 2);
    table->noteInput(*talker, 0, kSecond / 4);  // its lines were dropped: fill 0
    trickler->fill = 1;
    table->noteInput(*trickler, 0, kSecond / 4);
    trickler->fill = 2;
    table->noteInput(*trickler, 1, 3 * kSecond);  // more of the same line
    EXPECT_EQ(table->victim(kSecond - 1), nullptr);
    EXPECT_EQ(table->nextVictimAt(), kSecond);
    EXPECT_EQ(table->victim(kSecond), talker);
    table->free(*talker);
    EXPECT_EQ(table->victim(5 * kSecond), quiet);
    table->free(*quiet);
    EXPECT_EQ(table->victim(kSecond / 4 + kUnfinishedLineDeadlineNs - 1), nullptr);
    EXPECT_EQ(table->victim(kSecond / 4 + kUnfinishedLineDeadlineNs), trickler);
    EXPECT_TRUE(table->lineOverdue(*trickler, kSecond / 4 + kUnfinishedLineDeadlineNs));
    table->closeAll();
}

// A number no descriptor of the test has, far above those it opens.
int closedNumber() {
    const int fd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 200);
    ::close(fd);
    return fd;
}

// The loop's descriptors: a queue, a non-blocking signal pipe, a listening
// socket and an empty key cache. The loop runs in a child process, so that a
// loop that never returns fails the test instead of hanging it.
class LoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        kq_ = platform::kqueue();
        ASSERT_GE(kq_.fd, 0);
        ASSERT_EQ(::pipe(pipe_), 0);
        for (int fd : pipe_) ::fcntl(fd, F_SETFL, O_NONBLOCK);
        Result<int> sock = sys::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_TRUE(sock.ok());
        listener_ = sock.value();
        ASSERT_TRUE(sys::bindUnix(listener_, socketPath()).ok());
        ASSERT_TRUE(sys::listen(listener_, 16).ok());
        cache_.init(dir_.path(), HashAlgorithm::sha256);
        fds_.kqueue = kq_;
        fds_.listener = listener_;
        fds_.pipeRead = pipe_[0];
        fds_.pipeWrite = pipe_[1];
    }
    void TearDown() override {
        for (int fd : {pipe_[0], pipe_[1], listener_}) ::close(fd);
        platform::closeKqueue(kq_);
        cache_.deinit();
    }
    std::string socketPath() const { return dir_.file("s"); }

    // Registers `fd` for reading in the loop's queue before the loop runs.
    void registerRead(int fd) {
        platform::KEvent ch = platform::makeEvent(static_cast<std::uintptr_t>(fd),
                                                  platform::kFilterRead, platform::kEvAdd);
        ASSERT_EQ(platform::kevent(kq_, &ch, 1, nullptr, 0, nullptr), 0);
    }

    // Runs the loop in a child; `meanwhile` runs here, then "q" goes into the
    // signal pipe. The child's exit status: 0 when run() succeeded, 1 when it
    // failed; -1 when it had not returned within 3 s and was killed.
    int runLoop(const std::function<void()>& meanwhile = [] {}) {
        test::CaptureStderr log;
        const pid_t pid = ::fork();
        if (pid == 0) ::_exit(loop_->run(fds_, cache_).ok() ? 0 : 1);
        meanwhile();
        (void)!::write(pipe_[1], "q", 1);
        int status = 0;
        for (int i = 0; i < 1500 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) {
            std::this_thread::sleep_for(2ms);
        }
        if (::waitpid(pid, &status, WNOHANG) == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            status = -1;
        }
        log_ = log.text();
        return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    platform::Kqueue kq_;
    int pipe_[2] = {-1, -1};
    int listener_ = -1;
    test::TempDir dir_;
    KeyCache cache_;
    LoopDescriptors fds_;
    std::unique_ptr<EventLoop> loop_ = std::make_unique<EventLoop>();  // 256 KiB of slots
    std::string log_;
};

TEST_F(LoopTest, EventForAnUnknownDescriptorClosesIt) {
    int stray[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, stray), 0);
    registerRead(stray[0]);
    ASSERT_EQ(::write(stray[1], "x", 1), 1);
    bool closed = false;
    EXPECT_EQ(runLoop([&] {
                  ::close(stray[0]);  // the child's copy is the last one
                  pollfd peer{stray[1], POLLIN, 0};
                  char byte = 0;
                  // Closed with the byte unread: a reset, or an end of file.
                  closed = ::poll(&peer, 1, 3000) == 1 && ::recv(stray[1], &byte, 1, 0) <= 0;
              }),
              0);
    EXPECT_TRUE(closed) << "the loop left the descriptor open";
    EXPECT_EQ(log_, "info(main): shutdown signal received\n");
}

// A registration the queue refuses is an error event, never readiness.
TEST_F(LoopTest, RefusedRegistrations) {
    int socketPair[2];  // a socket cannot be watched as a directory
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, socketPair), 0);
    struct Case {
        const char* name;
        void (*refuse)(LoopDescriptors& fds, int socket);
        int status;
        std::string log;
    };
    const Case cases[] = {
        {"listening socket", [](LoopDescriptors& f, int) { f.listener = closedNumber(); }, 1,
         "error(main): cannot watch the listening socket: error.Unexpected\n"},
        {"signal pipe", [](LoopDescriptors& f, int) { f.pipeRead = closedNumber(); }, 1,
         "error(main): cannot watch the signal pipe: error.Unexpected\n"},
        {"cache directory",
         [](LoopDescriptors& f, int socket) {
             f.cacheDir = socket;
             f.cacheDirPath = "/tmp/vg";  // its parent is watched as usual
         },
         0,
         "warning(main): cannot watch cache dir /tmp/vg: error.Unexpected (reload on SIGHUP "
         "only)\ninfo(main): shutdown signal received\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopDescriptors usual = fds_;
        c.refuse(fds_, socketPair[0]);
        EXPECT_EQ(runLoop(), c.status);
        EXPECT_EQ(log_, c.log);
        fds_ = usual;
    }
    ::close(socketPair[0]);
    ::close(socketPair[1]);
}

// A client whose registration the queue refuses is closed after its greeting,
// which comes first. The Linux backend refuses a descriptor beyond the table
// it sized from the descriptor limit in force when the queue was made.
TEST_F(LoopTest, ClientWhoseRegistrationIsRefusedIsClosed) {
#if defined(__FreeBSD__)
    GTEST_SKIP() << "the system's own queue has no table of ours to outgrow";
#else
    // The queue's table covers the hard limit: a descriptor beyond it needs
    // the hard limit lowered for the queue and raised again after.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit above{saved.rlim_cur, saved.rlim_max + 1};
    if (::setrlimit(RLIMIT_NOFILE, &above) != 0) {
        GTEST_SKIP() << "raising the hard descriptor limit needs privilege (CAP_SYS_RESOURCE)";
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit low{64, 64};
    platform::closeKqueue(kq_);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    fds_.kqueue = kq_ = platform::kqueue();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_GE(kq_.fd, 0);
    std::vector<int> filler;  // every number below 64 taken: accepting gives one beyond
    for (int fd = -1; fd < 63;) {
        ASSERT_GE(fd = openNull(), 0);
        filler.push_back(fd);
    }
    std::string got;
    bool closed = false;
    EXPECT_EQ(runLoop([&] {
                  test::Client client(socketPath());
                  got = client.readAll(3000ms, &closed);
              }),
              0);
    for (int fd : filler) ::close(fd);
    EXPECT_EQ(got, kGreeting);
    EXPECT_TRUE(closed);
    // Never closed after the greeting without a word.
    EXPECT_NE(log_.find("warning(main): cannot watch a new connection: error."), std::string::npos)
        << log_;
#endif
}

}  // namespace
}  // namespace vg
