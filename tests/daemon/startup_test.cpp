// The real daemon binary: start-up outcomes, byte for byte on standard error.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/process_stats.h"
#include "support/daemon_process.h"

namespace vg::test {
namespace {

bool isSocket(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string loaded(const Daemon& d) {
    return "info(config): loaded config from " + d.configPath() + "\n";
}

constexpr const char* kReloaded = "info(keycache): reloaded 0 key(s) (generation 1)\n";

// A file of this mode and owner (root only, unless the owner is ourselves).
void makeFile(const std::string& path, mode_t mode, uid_t owner) {
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, mode);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::fchown(fd, owner, owner), 0);
    ::close(fd);
}

// A socket file nobody listens on, as a killed daemon leaves one.
bool bindStale(const std::string& path) {
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    const bool bound = ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(s);
    return bound;
}

TEST(Startup, MissingConfigWritesOnlyItsLine) {
    Daemon d;
    d.start(std::vector<std::string>{"-c", d.dir().file("nope.conf")});
    EXPECT_EQ(d.waitExit(), 1);
    EXPECT_EQ(d.log(), "error(config): config file not found: " + d.dir().file("nope.conf") + "\n");
}

TEST(Startup, EmptyDashCValueIsTheEmptyPath) {
    Daemon d;
    d.start(std::vector<std::string>{"-c", ""});
    EXPECT_EQ(d.waitExit(), 1);
    EXPECT_EQ(d.log(), "error(config): config file not found: \n");
}

TEST(Startup, ConfigFailuresEndWithFatalLine) {
    struct Case {
        const char* name;
        std::string extra;
        std::string expectedTail;  // after the loaded line, or whole log when no loaded line
        bool loadedLine;
    };
    const Case cases[] = {
        {"octal prefix", "socket_mode = 0o660\n", "error: InvalidValue\n", false},
        {"hash upper", "hash_algorithm = SHA256\n",
         "error(config): invalid hash_algorithm 'SHA256' (expected 'sha256' or 'none')\n"
         "error: InvalidValue\n",
         false},
        {"empty socket", "socket = \"\"\n", "error: MissingSocket\n", true},
        {"empty cache dir", "cache_dir = ''\n", "error: MissingCacheDir\n", true},
        // On Linux a leading NUL would bind an abstract socket no client finds.
        {"NUL in socket", std::string("socket = \0vg.sock\n", 18),
         "error(config): socket contains a NUL byte\nerror: BadPathName\n", false},
    };
    for (const Case& c : cases) {
        Daemon d;
        d.setExtraConfig(c.extra);
        d.writeConfig();
        d.start();
        EXPECT_EQ(d.waitExit(), 1) << c.name;
        EXPECT_EQ(d.log(), (c.loadedLine ? loaded(d) : std::string()) + c.expectedTail) << c.name;
    }
}

TEST(Startup, ConfigOverLimitIsFileTooBig) {
    Daemon d;
    d.dir().write("big.conf", std::string(65537, '#'));
    d.start(std::vector<std::string>{"-c", d.dir().file("big.conf")});
    EXPECT_EQ(d.waitExit(), 1);
    EXPECT_EQ(d.log(), "error: FileTooBig\n");
}

TEST(Startup, ConfigPathOf1024BytesIsNameTooLong) {
    Daemon d;
    d.start(std::vector<std::string>{"-c", std::string(1024, 'c')});
    EXPECT_EQ(d.waitExit(), 1);
    EXPECT_EQ(d.log(), "error: NameTooLong\n");
}

TEST(Startup, SocketPathOf103BytesBindsAnd104DoesNot) {
    for (std::size_t len : {std::size_t{103}, std::size_t{104}}) {
        Daemon d;
        std::string base = d.dir().path() + "/";
        std::string path = base + std::string(len - base.size(), 's');
        ASSERT_EQ(path.size(), len);
        d.setSocket(path);
        d.writeConfig();
        d.writeKeys("");
        d.start();
        if (len == 103) {
            ASSERT_TRUE(
                d.waitForLog("info(main): Vellumgard listening on " + path + " (0 keys loaded)\n"))
                << d.log();
            EXPECT_TRUE(isSocket(path));
            ASSERT_TRUE(d.waitReady());
            d.signal(SIGTERM);
            EXPECT_EQ(d.waitExit(), 0);
        } else {
            EXPECT_EQ(d.waitExit(), 1);
            EXPECT_EQ(d.log(), loaded(d) +
                                   "info(keycache): reloaded 0 key(s) (generation 1)\n"
                                   "error(main): invalid socket path: " +
                                   path + ": error.NameTooLong\nerror: NameTooLong\n");
        }
    }
}

TEST(Startup, SocketInMissingDirectoryIsFileNotFound) {
    Daemon d;
    d.setSocket(d.dir().file("no/such/dir/vg.sock"));
    d.writeConfig();
    d.writeKeys("");
    d.start();
    EXPECT_EQ(d.waitExit(), 1);
    EXPECT_EQ(d.log(), loaded(d) + kReloaded + "error(main): cannot open lock file " +
                           d.socketPath() + ".lock: error.FileNotFound\nerror: FileNotFound\n");
}

TEST(Startup, RegularFileAtSocketPathIsKeptAndBindFails) {
    Daemon d;
    d.dir().write("vg.sock", "precious data\n");
    d.writeConfig();
    d.writeKeys("");
    d.start();
    EXPECT_EQ(d.waitExit(), 1);
    EXPECT_EQ(
        d.log(),
        loaded(d) + "info(keycache): reloaded 0 key(s) (generation 1)\nerror: AddressInUse\n");
    std::ifstream in(d.socketPath());
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "precious data\n");
}

// A second daemon on a served socket path exits and touches nothing: by the
// lock, or, when the first one's lock file was removed (the second then
// locks a new file), by the socket that still takes its connect.
TEST(Startup, LiveSocketIsNotTakenOver) {
    for (const bool lockRemoved : {false, true}) {
        SCOPED_TRACE(lockRemoved ? "lock file removed" : "lock held");
        Daemon first;
        first.writeConfig();
        first.writeKeys(sha256Hex("pw") + "\tfirst\n");
        ASSERT_TRUE(first.startAndWait()) << first.log();
        ASSERT_TRUE(first.waitReady());
        if (lockRemoved) {
            ASSERT_EQ(::unlink((first.socketPath() + ".lock").c_str()), 0);
        }
        Daemon second;
        second.setSocket(first.socketPath());
        second.writeConfig();
        second.writeKeys("");
        second.start();
        EXPECT_EQ(second.waitExit(), 1);
        const std::string why = lockRemoved
                                    ? "a daemon serves it, but its lock file was removed"
                                    : "another daemon holds " + first.socketPath() + ".lock";
        EXPECT_EQ(second.log(), loaded(second) + kReloaded + "error(main): socket " +
                                    first.socketPath() + " is in use: " + why +
                                    "\nerror: AddressInUse\n");
        EXPECT_EQ(first.auth("1", "u", "pw"), "OK\t1\tuser=first\n");  // its socket untouched
        first.signal(SIGTERM);
        EXPECT_EQ(first.waitExit(), 0);
    }
}

TEST(Startup, StaleSocketOfKilledDaemonIsReplaced) {
    Daemon first;
    first.writeConfig();
    first.writeKeys("");
    ASSERT_TRUE(first.startAndWait()) << first.log();
    first.signal(SIGKILL);
    EXPECT_EQ(first.waitExit(), 128 + SIGKILL);
    ASSERT_TRUE(isSocket(first.socketPath()));
    Daemon second;
    second.setSocket(first.socketPath());
    second.writeConfig();
    second.writeKeys(sha256Hex("pw2") + "\tsecond\n");
    ASSERT_TRUE(second.startAndWait()) << second.log();
    EXPECT_EQ(second.auth("1", "u", "pw2"), "OK\t1\tuser=second\n");
    second.signal(SIGTERM);
    EXPECT_EQ(second.waitExit(), 0);
}

// Each way the lock file or the socket path ({s}) can be unusable is named on
// one line before the fatal line. Root passes every permission check, so the
// cases from foreignLock on run the daemon as nobody.
TEST(Startup, UnusableLockOrSocketPathIsNamed) {
    constexpr int kNobody = 65534;
    enum class Arrange { symlink, directory, foreignLock, ownReadOnlyLock, staleInReadOnlyDir };
    struct Case {
        Arrange arrange;
        const char* socket;    // in the test directory, beside the root-owned sub/
        const char* expected;  // after the load; "" when the daemon starts
    };
    const Case cases[] = {
        {Arrange::symlink, "vg.sock",
         "error(main): cannot open lock file {s}.lock: a symbolic link\nerror: SymLinkLoop\n"},
        {Arrange::directory, "sub/",
         "error(main): invalid socket path: {s}: error.IsDir\nerror: IsDir\n"},
        {Arrange::foreignLock, "vg.sock",
         "error(main): cannot open lock file {s}.lock: owned by uid 0, not by this user (uid "
         "65534)\nerror: AccessDenied\n"},
        {Arrange::ownReadOnlyLock, "vg.sock", ""},  // 0400, as a umask of 0277 leaves it
        {Arrange::staleInReadOnlyDir, "sub/vg.sock",
         "error(main): cannot remove stale socket {s}: error.AccessDenied\nerror: AccessDenied\n"},
    };
    for (const Case& c : cases) {
        const bool asNobody = c.arrange >= Arrange::foreignLock;
        if (asNobody && ::geteuid() != 0) {
            GTEST_SKIP() << "the cases left run the daemon as nobody, which needs root";
        }
        Daemon d;
        ASSERT_EQ(::mkdir(d.dir().file("sub").c_str(), 0755), 0);
        d.setSocket(d.dir().file(c.socket));
        const std::string lock = d.socketPath() + ".lock";
        switch (c.arrange) {
            case Arrange::symlink: ASSERT_EQ(::symlink("elsewhere", lock.c_str()), 0); break;
            case Arrange::directory: break;
            case Arrange::foreignLock: makeFile(lock, 0600, 0); break;
            case Arrange::ownReadOnlyLock: makeFile(lock, 0400, kNobody); break;
            case Arrange::staleInReadOnlyDir:
                makeFile(lock, 0600, kNobody);
                ASSERT_TRUE(bindStale(d.socketPath()));
                break;
        }
        if (asNobody) {
            ASSERT_EQ(::chown(d.dir().path().c_str(), kNobody, kNobody), 0);
            d.setUser(kNobody);
        }
        d.writeConfig();
        d.writeKeys("");
        d.start();
        std::string expected = c.expected;
        for (std::size_t at; (at = expected.find("{s}")) != std::string::npos;) {
            expected.replace(at, 3, d.socketPath());
        }
        if (expected.empty()) {
            EXPECT_TRUE(d.waitReady()) << c.socket << ": " << d.log();
            d.signal(SIGTERM);
            EXPECT_EQ(d.waitExit(), 0);
        } else {
            EXPECT_EQ(d.waitExit(), 1) << c.socket;
            EXPECT_EQ(d.log(), loaded(d) + kReloaded + expected) << c.socket;
        }
        EXPECT_FALSE(exists(d.dir().file("elsewhere")));
        EXPECT_FALSE(exists(d.dir().file("sub/.lock")));
    }
}

TEST(Startup, FailedFirstLoadEndsWithoutFatalLine) {
    {
        Daemon d;  // cache_dir names a regular file
        d.dir().write("plainfile", "x");
        d.setCacheDir(d.dir().file("plainfile"));
        d.writeConfig();
        d.start();
        EXPECT_EQ(d.waitExit(), 1);
        EXPECT_EQ(d.log(), loaded(d) +
                               "error(keycache): failed to read keys file: error.NotDir\n"
                               "error(main): initial cache load failed: error.NotDir\n");
        EXPECT_FALSE(exists(d.socketPath()));
    }
    {
        Daemon d;  // keys path longer than 1024 bytes
        d.setCacheDir("/" + std::string(1100, 'd'));
        d.writeConfig();
        d.start();
        EXPECT_EQ(d.waitExit(), 1);
        EXPECT_EQ(d.log(),
                  loaded(d) + "error(main): initial cache load failed: error.PathTooLong\n");
    }
}

TEST(Startup, MissingCacheDirWarnsTwiceAndServes) {
    Daemon d;
    d.setCacheDir(d.dir().file("absent"));
    d.writeConfig();
    d.start();
    ASSERT_TRUE(d.waitForLog("(reload on SIGHUP only)\n")) << d.log();
    ASSERT_TRUE(d.waitReady());
    EXPECT_EQ(d.log(), loaded(d) +
                           "warning(keycache): keys file not found: " + d.dir().file("absent") +
                           "/keys\n"
                           "info(main): Vellumgard listening on " +
                           d.socketPath() +
                           " (0 keys loaded)\n"
                           "warning(main): cannot open cache dir " +
                           d.dir().file("absent") +
                           " for watching: error.FileNotFound (reload on SIGHUP only)\n");
    EXPECT_EQ(d.auth("7", "u", "pw"), "FAIL\t7\treason=authentication failed\n");
    d.signal(SIGTERM);
    EXPECT_EQ(d.waitExit(), 0);
}

// Open descriptors of an idle daemon started as usual, with 0, 1 and 2 open.
int usualDescriptorCount() {
    Daemon d;
    d.writeConfig();
    d.writeKeys("");
    if (!d.startAndWait()) return -1;
    std::this_thread::sleep_for(50ms);  // the readiness probe's connection is closed by now
    const int count = platform::openDescriptorCount(d.pid());
    d.signal(SIGTERM);
    return d.waitExit() == 0 ? count : -1;
}

TEST(Startup, ClosedStandardDescriptorsAreFilledFirst) {
    const int usual = usualDescriptorCount();
    ASSERT_GT(usual, 3);
    Daemon d;
    d.writeConfig();
    d.writeKeys(sha256Hex("pw") + "\towner\n");
    d.closeStandardDescriptors();
    d.start();
    ASSERT_TRUE(d.waitReady());
    std::this_thread::sleep_for(50ms);
    // The same count: 0, 1 and 2 were taken before the socket, the cache
    // directory, the pipe and the queue were opened above them.
    EXPECT_EQ(platform::openDescriptorCount(d.pid()), usual);
    EXPECT_EQ(d.auth("1", "", "pw"), "OK\t1\tuser=owner\n");
    d.signal(SIGTERM);
    EXPECT_EQ(d.waitExit(), 0);
}

// The Linux backend's directory watches take a descriptor, the last ones the
// daemon opens; one short, a watch is refused, which is no directory change.
TEST(Startup, RefusedDirectoryWatchIsAWarningNotAChange) {
#if defined(__FreeBSD__)
    GTEST_SKIP() << "a directory watch takes no descriptor of its own on FreeBSD";
#else
    const int usual = usualDescriptorCount();
    ASSERT_GT(usual, 3);
    Daemon d;
    d.writeConfig();
    d.writeKeys("");
    d.setDescriptorLimit(usual - 1);
    d.start();
    ASSERT_TRUE(d.waitForLog(": error.ProcessFdQuotaExceeded (")) << d.log();
    d.signal(SIGTERM);
    EXPECT_EQ(d.waitExit(), 0);
    const std::string log = d.log();
    EXPECT_NE(log.find("SIGHUP only)\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("cache directory change detected"), std::string::npos) << log;
#endif
}

TEST(Startup, SocketModeIsApplied) {
    Daemon d;
    d.setExtraConfig("socket_mode = 0600\n");
    d.writeConfig();
    d.writeKeys("");
    ASSERT_TRUE(d.startAndWait()) << d.log();
    struct stat st {};
    ASSERT_EQ(::lstat(d.socketPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    d.signal(SIGTERM);
    EXPECT_EQ(d.waitExit(), 0);
}

TEST(Shutdown, TermAndIntExitCleanly) {
    for (int signo : {SIGTERM, SIGINT}) {
        Daemon d;
        d.writeConfig();
        d.writeKeys(sha256Hex("pw") + "\towner\n");
        ASSERT_TRUE(d.startAndWait()) << d.log();
        Client idle(d.socketPath());
        ASSERT_TRUE(idle.ok());
        EXPECT_EQ(idle.readBytes(38).size(), 38u);
        d.signal(signo);
        EXPECT_EQ(d.waitExit(), 0);
        EXPECT_TRUE(idle.closedWithin(2000ms));  // closed without a reply
        EXPECT_FALSE(exists(d.socketPath()));
        std::string log = d.log();
        EXPECT_NE(log.find("info(main): shutdown signal received\n"
                           "info(main): Vellumgard shutdown complete\n"),
                  std::string::npos)
            << log;
        EXPECT_EQ(log.substr(log.size() - 41), "info(main): Vellumgard shutdown complete\n");
    }
}

// The lock beside the socket decides, not the socket file: with its file
// removed by hand, or a stale socket put in its place (a connect to it is
// refused, as FreeBSD also refuses one to a busy daemon), a second daemon
// must leave the path as it is. Once the first stops, the next one starts.
TEST(Startup, RunningDaemonKeepsThePathWhateverTheSocketFile) {
    Daemon first;
    first.writeConfig();
    first.writeKeys("");
    ASSERT_TRUE(first.startAndWait()) << first.log();
    const std::string path = first.socketPath();
    ASSERT_EQ(::unlink(path.c_str()), 0);
    for (const bool stale : {false, true}) {
        ino_t before = 0;
        if (stale) {
            const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::memcpy(addr.sun_path, path.data(), path.size());
            ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            ::close(s);
            struct stat st {};
            ASSERT_EQ(::lstat(path.c_str(), &st), 0);
            before = st.st_ino;
        }
        Daemon second;
        second.setSocket(path);
        second.writeConfig();
        second.writeKeys("");
        second.start();
        EXPECT_EQ(second.waitExit(), 1) << stale;
        EXPECT_NE(second.log().find("error: AddressInUse\n"), std::string::npos) << second.log();
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0, before) << stale;
    }
    first.signal(SIGTERM);
    EXPECT_EQ(first.waitExit(), 0);
    EXPECT_TRUE(isSocket(path));  // not the first one's: left for the next start
    Daemon third;
    third.setSocket(path);
    third.writeConfig();
    third.writeKeys(sha256Hex("pw3") + "\tthird\n");
    ASSERT_TRUE(third.startAndWait()) << third.log();
    EXPECT_EQ(third.auth("1", "u", "pw3"), "OK\t1\tuser=third\n");
    third.signal(SIGTERM);
    EXPECT_EQ(third.waitExit(), 0);
    EXPECT_FALSE(exists(path));
    EXPECT_TRUE(exists(path + ".lock"));  // never removed: that would race the next daemon
}

}  // namespace
}  // namespace vg::test
