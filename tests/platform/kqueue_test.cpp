// The event queue on its own: readiness of sockets and pipes, directory
// changes, signals and failed changes, against real descriptors.
#include "platform/kqueue.h"
#include "platform/process_stats.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vg::platform {
namespace {

constexpr int kExpectMs = 2000;  // an event is due
constexpr int kNoneMs = 200;     // no event may come

// Distinct addresses to hand out as udata.
char gTag[4];
void* tag(int i) {
    return &gTag[i];
}

void closeIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Moves `fd` to number `want` (closed beforehand) unless it already got it.
int renumber(int fd, int want) {
    if (fd == want) return fd;
    int moved = ::dup2(fd, want);
    ::close(fd);
    return moved;
}

// A descriptor number that is closed and that the descriptors a test opens
// afterwards (always the lowest free ones) will not take.
int closedNumber() {
    int fd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 900);
    if (fd >= 0) ::close(fd);
    return fd;
}

void touch(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    ::close(fd);
}

class KqueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        kq_ = kqueue();
        ASSERT_GE(kq_.fd, 0) << std::strerror(errno);
    }
    void TearDown() override { closeKqueue(kq_); }

    int change(int fd, std::int16_t filter, std::uint16_t flags, std::uint32_t fflags, void* udata,
               const Kqueue* kq = nullptr) {
        KEvent ch = makeEvent(static_cast<std::uintptr_t>(fd), filter, flags, fflags, udata);
        return platform::kevent(kq != nullptr ? *kq : kq_, &ch, 1, nullptr, 0, nullptr);
    }
    int addRead(int fd, void* udata, std::uint16_t extra = 0) {
        return change(fd, kFilterRead, kEvAdd | extra, 0, udata);
    }
    std::vector<KEvent> wait(int ms, int room = 8) {
        KEvent out[8];
        timespec ts{ms / 1000, (ms % 1000) * 1000000L};
        int n = platform::kevent(kq_, nullptr, 0, out, room, &ts);
        EXPECT_GE(n, 0) << std::strerror(errno);
        return std::vector<KEvent>(out, out + (n > 0 ? n : 0));
    }

    Kqueue kq_;
};

TEST_F(KqueueTest, QueuesAreDistinctAndCloseOnExec) {
    Kqueue other = kqueue();
    ASSERT_GE(other.fd, 0);
    EXPECT_NE(other.fd, kq_.fd);
    for (int fd : {kq_.fd, other.fd}) EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
    closeKqueue(other);
}

// ---- readiness ----------------------------------------------------------

class ReadTest : public KqueueTest {
protected:
    void SetUp() override {
        KqueueTest::SetUp();
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv_), 0);
    }
    void TearDown() override {
        closeIfOpen(sv_[0]);
        closeIfOpen(sv_[1]);
        KqueueTest::TearDown();
    }
    void send(const char* bytes) {
        ASSERT_EQ(::write(sv_[1], bytes, std::strlen(bytes)),
                  static_cast<ssize_t>(std::strlen(bytes)));
    }
    void expectOne(const std::vector<KEvent>& got, int fd, void* udata) {
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].ident, static_cast<std::uintptr_t>(fd));
        EXPECT_EQ(got[0].filter, kFilterRead);
        EXPECT_EQ(got[0].udata, udata);
        EXPECT_EQ(got[0].flags & (kEvEof | kEvError), 0);
    }

    int sv_[2] = {-1, -1};
};

TEST_F(ReadTest, LevelTriggeredReportsEveryWaitWhileDataWaits) {
    ASSERT_EQ(addRead(sv_[0], tag(0)), 0);
    EXPECT_TRUE(wait(0).empty());  // nothing yet: a poll returns 0
    send("ab");
    for (int i = 0; i < 3; ++i) expectOne(wait(kExpectMs), sv_[0], tag(0));
    char buf[4];
    ASSERT_EQ(::read(sv_[0], buf, sizeof buf), 2);
    EXPECT_TRUE(wait(kNoneMs).empty());
}

TEST_F(ReadTest, EdgeTriggeredReportsOncePerArrival) {
    ASSERT_EQ(addRead(sv_[0], tag(1), kEvClear), 0);
    send("a");
    expectOne(wait(kExpectMs), sv_[0], tag(1));
    EXPECT_TRUE(wait(kNoneMs).empty());  // still unread, but nothing new
    send("b");
    expectOne(wait(kExpectMs), sv_[0], tag(1));
    EXPECT_TRUE(wait(kNoneMs).empty());
}

TEST_F(ReadTest, AddingAgainUpdatesTheRegistration) {
    ASSERT_EQ(addRead(sv_[0], tag(0)), 0);
    ASSERT_EQ(addRead(sv_[0], tag(1), kEvClear), 0);  // new udata, now edge-triggered
    send("a");
    expectOne(wait(kExpectMs), sv_[0], tag(1));
    EXPECT_TRUE(wait(kNoneMs).empty());
    ASSERT_EQ(addRead(sv_[0], tag(2)), 0);  // back to level: the waiting byte shows again
    expectOne(wait(kExpectMs), sv_[0], tag(2));
    expectOne(wait(kExpectMs), sv_[0], tag(2));
}

TEST_F(ReadTest, EachEventCarriesItsOwnIdentAndUdata) {
    int other[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, other), 0);
    ASSERT_EQ(addRead(sv_[0], tag(0)), 0);
    ASSERT_EQ(addRead(other[0], tag(1)), 0);
    ASSERT_EQ(addRead(sv_[1], tag(2)), 0);  // never written to
    send("a");
    ASSERT_EQ(::write(other[1], "b", 1), 1);
    auto got = wait(kExpectMs);
    ASSERT_EQ(got.size(), 2u);
    for (const KEvent& ev : got) {
        if (ev.ident == static_cast<std::uintptr_t>(sv_[0])) {
            EXPECT_EQ(ev.udata, tag(0));
        } else {
            EXPECT_EQ(ev.ident, static_cast<std::uintptr_t>(other[0]));
            EXPECT_EQ(ev.udata, tag(1));
        }
    }
    EXPECT_NE(got[0].ident, got[1].ident);
    ::close(other[0]);
    ::close(other[1]);
}

enum class Hangup { CloseSocketPeer, ShutdownSocketPeer, ClosePipeWriter };
constexpr const char* kHangupNames[] = {"CloseSocketPeer", "ShutdownSocketPeer", "ClosePipeWriter"};
void PrintTo(Hangup h, std::ostream* os) {
    *os << kHangupNames[static_cast<int>(h)];
}

class HangupTest : public KqueueTest, public ::testing::WithParamInterface<Hangup> {};

TEST_P(HangupTest, SetsEof) {
    int fds[2];
    if (GetParam() == Hangup::ClosePipeWriter) {
        ASSERT_EQ(::pipe(fds), 0);
    } else {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    }
    ASSERT_EQ(addRead(fds[0], tag(3)), 0);
    EXPECT_TRUE(wait(0).empty());
    if (GetParam() == Hangup::ShutdownSocketPeer) {
        ASSERT_EQ(::shutdown(fds[1], SHUT_WR), 0);
    } else {
        closeIfOpen(fds[1]);
    }
    auto got = wait(kExpectMs);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].ident, static_cast<std::uintptr_t>(fds[0]));
    EXPECT_EQ(got[0].udata, tag(3));
    EXPECT_NE(got[0].flags & kEvEof, 0);
    ::close(fds[0]);
    if (fds[1] >= 0) ::close(fds[1]);
}

INSTANTIATE_TEST_SUITE_P(Kinds, HangupTest,
                         ::testing::Values(Hangup::CloseSocketPeer, Hangup::ShutdownSocketPeer,
                                           Hangup::ClosePipeWriter),
                         ::testing::PrintToStringParamName());

TEST_F(ReadTest, ClosedDescriptorIsDroppedAndItsNumberCanBeRegisteredAgain) {
    ASSERT_EQ(addRead(sv_[0], tag(0)), 0);
    const int number = sv_[0];
    closeIfOpen(sv_[0]);

    int fresh[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fresh), 0);
    ASSERT_EQ(sv_[0] = renumber(fresh[0], number), number);
    ASSERT_EQ(::write(fresh[1], "x", 1), 1);
    EXPECT_TRUE(wait(kNoneMs).empty());  // the old registration went with the close

    ASSERT_EQ(addRead(number, tag(2)), 0);
    expectOne(wait(kExpectMs), number, tag(2));
    ::close(fresh[1]);
}

// ---- directories --------------------------------------------------------

constexpr std::uint32_t kAllNotes = kNoteWrite | kNoteLink | kNoteRename;

class DirTest : public KqueueTest {
protected:
    void SetUp() override {
        KqueueTest::SetUp();
        char tmpl[] = "/tmp/vg-kqueue-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr) << std::strerror(errno);
        root_ = tmpl;
        dir_ = root_ + "/watched";
        outside_ = root_ + "/outside";
        ASSERT_EQ(::mkdir(dir_.c_str(), 0700), 0);
        ASSERT_EQ(::mkdir(outside_.c_str(), 0700), 0);
        ASSERT_GE(dirFd_ = openDir(dir_), 0);
    }
    void TearDown() override {
        closeIfOpen(dirFd_);
        std::error_code ec;
        if (!root_.empty()) std::filesystem::remove_all(root_, ec);
        KqueueTest::TearDown();
    }
    static int openDir(const std::string& path) {
        return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    int watch(int fd, void* udata, std::uint32_t fflags = kAllNotes, const Kqueue* kq = nullptr) {
        return change(fd, kFilterVnode, kEvAdd | kEvClear, fflags, udata, kq);
    }
    void expectOne(const std::vector<KEvent>& got, int fd, std::uint32_t fflags, void* udata) {
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].ident, static_cast<std::uintptr_t>(fd));
        EXPECT_EQ(got[0].filter, kFilterVnode);
        EXPECT_EQ(got[0].fflags, fflags);
        EXPECT_EQ(got[0].udata, udata);
        EXPECT_EQ(got[0].flags & kEvError, 0);
    }

    std::string root_, dir_, outside_;
    int dirFd_ = -1;
};

struct DirChange {
    const char* name;
    void (*setup)(const std::string& dir, const std::string& outside);  // before registering
    void (*act)(const std::string& dir, const std::string& outside);
    std::uint32_t fflags;
};

void noSetup(const std::string&, const std::string&) {}

const DirChange kDirChanges[] = {
    {"Create", noSetup, [](const std::string& d, const std::string&) { touch(d + "/a"); },
     kNoteWrite},
    {"Unlink", [](const std::string& d, const std::string&) { touch(d + "/a"); },
     [](const std::string& d, const std::string&) { ASSERT_EQ(::unlink((d + "/a").c_str()), 0); },
     kNoteWrite},
    {"RenameIntoOverExisting",
     [](const std::string& d, const std::string& o) {
         touch(d + "/keys");
         touch(o + "/keys.new");
     },
     [](const std::string& d, const std::string& o) {
         ASSERT_EQ(::rename((o + "/keys.new").c_str(), (d + "/keys").c_str()), 0);
     },
     kNoteWrite},
    {"RenameWithinOverExisting",
     [](const std::string& d, const std::string&) {
         touch(d + "/keys");
         touch(d + "/keys.tmp");
     },
     [](const std::string& d, const std::string&) {
         ASSERT_EQ(::rename((d + "/keys.tmp").c_str(), (d + "/keys").c_str()), 0);
     },
     kNoteWrite},
    {"RenameOut", [](const std::string& d, const std::string&) { touch(d + "/a"); },
     [](const std::string& d, const std::string& o) {
         ASSERT_EQ(::rename((d + "/a").c_str(), (o + "/a").c_str()), 0);
     },
     kNoteWrite},
    {"HardLinkIn", [](const std::string&, const std::string& o) { touch(o + "/f"); },
     [](const std::string& d, const std::string& o) {
         ASSERT_EQ(::link((o + "/f").c_str(), (d + "/f").c_str()), 0);
     },
     kNoteWrite},
    {"Mkdir", noSetup,
     [](const std::string& d, const std::string&) {
         ASSERT_EQ(::mkdir((d + "/sub").c_str(), 0700), 0);
     },
     kNoteWrite | kNoteLink},
    {"Rmdir",
     [](const std::string& d, const std::string&) {
         ASSERT_EQ(::mkdir((d + "/sub").c_str(), 0700), 0);
     },
     [](const std::string& d, const std::string&) { ASSERT_EQ(::rmdir((d + "/sub").c_str()), 0); },
     kNoteWrite | kNoteLink},
};

void PrintTo(const DirChange& c, std::ostream* os) {
    *os << c.name;
}

class DirChangeTest : public DirTest, public ::testing::WithParamInterface<DirChange> {};

TEST_P(DirChangeTest, ReportsExactlyOneEvent) {
    GetParam().setup(dir_, outside_);
    ASSERT_EQ(watch(dirFd_, tag(0)), 0);
    EXPECT_TRUE(wait(0).empty());  // setup happened before registering
    GetParam().act(dir_, outside_);
    expectOne(wait(kExpectMs), dirFd_, GetParam().fflags, tag(0));
    EXPECT_TRUE(wait(kNoneMs).empty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, DirChangeTest, ::testing::ValuesIn(kDirChanges),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DirTest, SeveralChangesBetweenWaitsReportOneEvent) {
    ASSERT_EQ(watch(dirFd_, tag(0)), 0);
    touch(dir_ + "/a");
    touch(dir_ + "/b");
    ASSERT_EQ(::unlink((dir_ + "/a").c_str()), 0);
    expectOne(wait(kExpectMs), dirFd_, kNoteWrite, tag(0));
    EXPECT_TRUE(wait(kNoneMs).empty());
}

TEST_F(DirTest, RewritingAFileInPlaceReportsNothing) {
    const std::string file = dir_ + "/keys";
    touch(file);
    ASSERT_EQ(watch(dirFd_, tag(0)), 0);
    int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "new contents", 12), 12);
    ::close(fd);
    EXPECT_TRUE(wait(kNoneMs).empty());
    touch(dir_ + "/other");  // the watch itself still works
    expectOne(wait(kExpectMs), dirFd_, kNoteWrite, tag(0));
}

TEST_F(DirTest, RenamedDirectoryIsStillWatchedUnderItsNewName) {
    ASSERT_EQ(watch(dirFd_, tag(0)), 0);
    const std::string moved = root_ + "/moved";
    ASSERT_EQ(::rename(dir_.c_str(), moved.c_str()), 0);
    expectOne(wait(kExpectMs), dirFd_, kNoteRename, tag(0));
    ASSERT_EQ(::mkdir(dir_.c_str(), 0700), 0);  // a new directory under the old name
    touch(dir_ + "/ignored");
    EXPECT_TRUE(wait(kNoneMs).empty());
    touch(moved + "/a");
    expectOne(wait(kExpectMs), dirFd_, kNoteWrite, tag(0));
}

TEST_F(DirTest, OnlyRequestedNotesAreReportedAndAddingAgainChangesThem) {
    ASSERT_EQ(watch(dirFd_, tag(0), kNoteRename), 0);
    touch(dir_ + "/a");
    EXPECT_TRUE(wait(kNoneMs).empty());

    ASSERT_EQ(watch(dirFd_, tag(1), kNoteWrite), 0);
    ASSERT_EQ(::mkdir((dir_ + "/sub").c_str(), 0700), 0);  // link not asked for
    expectOne(wait(kExpectMs), dirFd_, kNoteWrite, tag(1));
    const std::string moved = root_ + "/moved";
    ASSERT_EQ(::rename(dir_.c_str(), moved.c_str()), 0);
    EXPECT_TRUE(wait(kNoneMs).empty());
}

TEST_F(DirTest, ClosedDirectoryDescriptorStopsReporting) {
    // One number left closed, the other handed to a directory not registered.
    const std::string third = root_ + "/third";
    ASSERT_EQ(::mkdir(third.c_str(), 0700), 0);
    int thirdFd = openDir(third);
    ASSERT_GE(thirdFd, 0);
    ASSERT_EQ(watch(dirFd_, tag(0)), 0);
    ASSERT_EQ(watch(thirdFd, tag(2)), 0);
    const int number = dirFd_;
    closeIfOpen(dirFd_);
    closeIfOpen(thirdFd);
    ASSERT_EQ(dirFd_ = renumber(openDir(outside_), number), number);
    touch(dir_ + "/a");
    touch(third + "/a");
    touch(outside_ + "/a");
    EXPECT_TRUE(wait(kNoneMs).empty());

    // Registered again, the number reports for the directory it names now.
    ASSERT_EQ(watch(number, tag(1)), 0);
    touch(dir_ + "/b");
    EXPECT_TRUE(wait(kNoneMs).empty());
    touch(outside_ + "/b");
    expectOne(wait(kExpectMs), number, kNoteWrite, tag(1));
}

TEST_F(DirTest, EventsBeyondTheRoomGivenComeOnTheNextCall) {
    int second = openDir(outside_);
    ASSERT_GE(second, 0);
    ASSERT_EQ(watch(dirFd_, tag(0)), 0);
    ASSERT_EQ(watch(second, tag(1)), 0);
    touch(dir_ + "/a");
    touch(outside_ + "/a");
    auto first = wait(kExpectMs, 1);
    ASSERT_EQ(first.size(), 1u);
    auto next = wait(kNoneMs, 1);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_NE(first[0].ident, next[0].ident);
    EXPECT_NE(first[0].udata, next[0].udata);
    for (const KEvent* ev : {&first[0], &next[0]}) {
        EXPECT_EQ(ev->udata, ev->ident == static_cast<std::uintptr_t>(second) ? tag(1) : tag(0));
    }
    EXPECT_TRUE(wait(kNoneMs).empty());
    ::close(second);
}

TEST_F(DirTest, ReadinessAndDirectoryChangesInOneWait) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    KEvent changes[] = {
        makeEvent(static_cast<std::uintptr_t>(sv[0]), kFilterRead, kEvAdd, 0, tag(2)),
        makeEvent(static_cast<std::uintptr_t>(dirFd_), kFilterVnode, kEvAdd | kEvClear, kAllNotes,
                  tag(0))};
    ASSERT_EQ(platform::kevent(kq_, changes, 2, nullptr, 0, nullptr), 0);
    ASSERT_EQ(::write(sv[1], "x", 1), 1);
    touch(dir_ + "/a");
    auto got = wait(kExpectMs);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0].filter, got[1].filter);
    for (const KEvent& ev : got) EXPECT_EQ(ev.udata, ev.filter == kFilterRead ? tag(2) : tag(0));
    ::close(sv[0]);
    ::close(sv[1]);
}

// A queue may hold more than its descriptor (the Linux backend's inotify
// instance); closing it gives all of that back.
TEST_F(DirTest, ClosingAQueueReleasesEverythingItHolds) {
    const int before = openDescriptorCount(::getpid());
    ASSERT_GT(before, 0);
    Kqueue q = kqueue();
    ASSERT_GE(q.fd, 0);
    ASSERT_EQ(watch(dirFd_, tag(0), kAllNotes, &q), 0);
    EXPECT_GT(openDescriptorCount(::getpid()), before);
    closeKqueue(q);
    EXPECT_EQ(openDescriptorCount(::getpid()), before);
}

// ---- signals ------------------------------------------------------------

volatile std::sig_atomic_t gSignalled = 0;
extern "C" void onSignal(int) {
    gSignalled = 1;
}

struct SignalCase {
    const char* name;
    bool limited;  // a timeout far longer than the test, or none
};

void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << c.name;
}

class SignalTest : public KqueueTest, public ::testing::WithParamInterface<SignalCase> {};

// A helper thread signals this one until it is told to stop; if the wait goes
// on regardless, it makes a registered pipe readable after two seconds so a
// wrong result fails the test instead of hanging it.
TEST_P(SignalTest, InterruptsABlockingWaitWithEintr) {
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART
    ASSERT_EQ(::sigaction(SIGALRM, &sa, &old), 0);
    int pipefd[2];
    ASSERT_EQ(::pipe(pipefd), 0);
    ASSERT_EQ(addRead(pipefd[0], tag(0)), 0);

    gSignalled = 0;
    std::atomic<bool> done{false};
    const pthread_t waiter = ::pthread_self();
    std::thread helper([&] {
        for (int i = 0; i < 40 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (!done) ::pthread_kill(waiter, SIGALRM);
        }
        if (!done) (void)!::write(pipefd[1], "x", 1);
    });
    timespec longWait{30, 0};
    KEvent out[1];
    int rc = platform::kevent(kq_, nullptr, 0, out, 1, GetParam().limited ? &longWait : nullptr);
    int err = errno;
    done = true;
    helper.join();
    ::sigaction(SIGALRM, &old, nullptr);
    ::close(pipefd[0]);
    ::close(pipefd[1]);

    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, EINTR);
    EXPECT_EQ(gSignalled, 1);
}

INSTANTIATE_TEST_SUITE_P(Waits, SignalTest,
                         ::testing::Values(SignalCase{"NoTimeout", false},
                                           SignalCase{"LongTimeout", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- failed changes -----------------------------------------------------

enum class Target { ClosedNumber, RegularFile, Directory };

struct BadChange {
    const char* name;
    std::int16_t filter;
    std::uint16_t flags;
    std::uint32_t fflags;
    Target target;  // what the ident names
    int error;
};

const BadChange kBadChanges[] = {
    {"ReadOnClosedDescriptor", kFilterRead, kEvAdd, 0, Target::ClosedNumber, EBADF},
    {"VnodeOnClosedDescriptor", kFilterVnode, kEvAdd | kEvClear, kAllNotes, Target::ClosedNumber,
     EBADF},
    // -9 is EVFILT_FS on FreeBSD; no system defines a filter this far down.
    {"UnknownFilter", -99, kEvAdd, 0, Target::RegularFile, EINVAL},
#if !defined(__FreeBSD__)
    // Where this backend is stricter than the system queue.
    {"ReadOnRegularFile", kFilterRead, kEvAdd, 0, Target::RegularFile, EPERM},
    {"VnodeOnRegularFile", kFilterVnode, kEvAdd | kEvClear, kNoteWrite, Target::RegularFile,
     ENOTDIR},
    {"VnodeWithoutClear", kFilterVnode, kEvAdd, kNoteWrite, Target::Directory, EINVAL},
    {"UnsupportedFlag", kFilterRead, kEvAdd | 0x0010, 0, Target::RegularFile, EINVAL},
#endif
};

void PrintTo(const BadChange& c, std::ostream* os) {
    *os << c.name;
}

class BadChangeTest : public KqueueTest, public ::testing::WithParamInterface<BadChange> {
protected:
    void SetUp() override {
        KqueueTest::SetUp();
        if (GetParam().target == Target::RegularFile) {
            char path[] = "/tmp/vg-kqueue-file-XXXXXX";
            ASSERT_GE(fd_ = ::mkstemp(path), 0);
            ::unlink(path);
        } else if (GetParam().target == Target::Directory) {
            ASSERT_GE(fd_ = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC), 0);
        } else {
            ASSERT_GE(bad_ = closedNumber(), 0);
        }
        ch_ = makeEvent(static_cast<std::uintptr_t>(fd_ >= 0 ? fd_ : bad_), GetParam().filter,
                        GetParam().flags, GetParam().fflags, tag(1));
    }
    void TearDown() override {
        closeIfOpen(fd_);
        KqueueTest::TearDown();
    }
    int fd_ = -1;
    int bad_ = -1;
    KEvent ch_{};
};

TEST_P(BadChangeTest, IsAnErrorEventWhenThereIsRoom) {
    // A readable registration proves the call returned without waiting.
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    ASSERT_EQ(addRead(sv[0], tag(0)), 0);
    ASSERT_EQ(::write(sv[1], "x", 1), 1);
    KEvent out[4];
    timespec ts{kExpectMs / 1000, 0};
    ASSERT_EQ(platform::kevent(kq_, &ch_, 1, out, 4, &ts), 1);
    EXPECT_EQ(out[0].flags, kEvError);
    EXPECT_EQ(out[0].data, GetParam().error);
    EXPECT_EQ(out[0].ident, ch_.ident);
    EXPECT_EQ(out[0].filter, ch_.filter);
    EXPECT_EQ(out[0].udata, tag(1));
    ::close(sv[0]);
    ::close(sv[1]);
}

TEST_P(BadChangeTest, FailsTheCallWhenThereIsNoRoom) {
    errno = 0;
    EXPECT_EQ(platform::kevent(kq_, &ch_, 1, nullptr, 0, nullptr), -1);
    EXPECT_EQ(errno, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Kinds, BadChangeTest, ::testing::ValuesIn(kBadChanges),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReadTest, ChangesAfterAFailedOneAreStillApplied) {
    const int closed = closedNumber();
    ASSERT_GE(closed, 0);
    KEvent changes[] = {
        makeEvent(static_cast<std::uintptr_t>(closed), kFilterRead, kEvAdd),
        makeEvent(static_cast<std::uintptr_t>(sv_[0]), kFilterRead, kEvAdd, 0, tag(2))};
    KEvent out[2];
    timespec ts{kExpectMs / 1000, 0};
    ASSERT_EQ(platform::kevent(kq_, changes, 2, out, 2, &ts), 1);
    EXPECT_EQ(out[0].ident, static_cast<std::uintptr_t>(closed));
    EXPECT_EQ(out[0].data, EBADF);
    send("a");
    expectOne(wait(kExpectMs), sv_[0], tag(2));
}

TEST(KqueueCall, OnADescriptorThatIsNoQueueFails) {
    KEvent out[1];
    timespec poll{0, 0};
    errno = 0;
    EXPECT_EQ(platform::kevent(Kqueue{}, nullptr, 0, out, 1, &poll), -1);
    EXPECT_EQ(errno, EBADF);
}

// The Linux backend sizes its descriptor table once, from the hard limit in
// force when the queue is made: a soft limit raised later (prlimit on a
// running daemon) must not make descriptors unregistrable, while one beyond
// the table must be refused, not stored.
TEST_F(ReadTest, TableCoversTheHardLimitAndRefusesBeyondIt) {
#if defined(__FreeBSD__)
    GTEST_SKIP() << "the system's own queue has no table of ours to outgrow";
#else
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_GT(saved.rlim_max, 128u);
    const int high = ::fcntl(sv_[0], F_DUPFD_CLOEXEC, 64);
    ASSERT_GE(high, 64);
    // Returns kevent's result, or the errno of the refusal.
    auto registerHigh = [high](const rlimit& atCreation, const rlimit& after) {
        if (::setrlimit(RLIMIT_NOFILE, &atCreation) != 0) return -2;
        Kqueue q = kqueue();
        if (::setrlimit(RLIMIT_NOFILE, &after) != 0 || q.fd < 0) return -3;
        KEvent ch = makeEvent(static_cast<std::uintptr_t>(high), kFilterRead, kEvAdd);
        KEvent out[1];
        timespec poll{0, 0};
        const int n = platform::kevent(q, &ch, 1, out, 1, &poll);
        closeKqueue(q);
        return n == 1 && out[0].flags == kEvError ? static_cast<int>(out[0].data) : n;
    };
    EXPECT_EQ(registerHigh({64, saved.rlim_max}, saved), 0);
    // A lowered hard limit cannot be raised again without privilege: in a child.
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(registerHigh({64, 64}, {64, 64}) == ENOMEM ? 0 : 1);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(high);
#endif
}

}  // namespace
}  // namespace vg::platform
