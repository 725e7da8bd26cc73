// Load and fault runs against the real daemon: many concurrent clients with
// mixed requests while the keys are replaced, plus hostile clients; bounded
// in count and time. Checks the daemon's descriptors and memory afterwards.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "platform/process_stats.h"
#include "support/daemon_process.h"

namespace vg::test {
namespace {

constexpr int kKeys = 200;

#if defined(VG_SANITIZED)
// AddressSanitizer keeps freed blocks in quarantine instead of reusing them,
// so each of the run's reloads adds to the resident size; its leak check when
// the daemon exits covers what the bound is for.
constexpr long kRssGrowthKiB = 8192;
#else
constexpr long kRssGrowthKiB = 2048;
#endif

std::string keysFor(const std::string& ownerPrefix) {
    std::string text;
    for (int i = 0; i < kKeys; ++i) {
        text +=
            sha256Hex("pw-" + std::to_string(i)) + "\t" + ownerPrefix + std::to_string(i) + "\n";
    }
    return text;
}

int openDescriptors(int pid) {
    return platform::openDescriptorCount(pid);
}

long residentKiB(int pid) {
    const std::int64_t bytes = platform::residentBytes(pid);
    return bytes < 0 ? -1 : static_cast<long>(bytes / 1024);
}

struct Tally {
    std::atomic<int> ok{0}, fail{0}, rejected{0}, reclaimed{0}, errors{0};
    std::mutex m;
    std::vector<std::string> problems;
    void problem(const std::string& p) {
        ++errors;
        std::lock_guard<std::mutex> hold(m);
        if (problems.size() < 10) problems.push_back(p);
    }
};

// One request of kind `kind` on a fresh connection, checked against both tables.
// False when the daemon closed the connection, idle after its greeting, to
// make room for a newer client.
bool oneAttempt(const std::string& socket, int kind, int i, Tally& t) {
    Client c(socket, 5000ms);
    if (!c.ok()) {
        t.problem("connect failed");
        return true;
    }
    bool closed = false;
    std::string greeting = c.readBytes(38, 5000ms);
    if (greeting.empty()) {
        // Rejected while all slots were busy: closed without a greeting.
        if (c.closedWithin(1000ms)) {
            ++t.rejected;
        } else {
            t.problem("no greeting and not closed");
        }
        return true;
    }
    if (greeting != "VERSION\t1\t2\nMECH\tPLAIN\tplaintext\nDONE\n") {
        t.problem("bad greeting");
        return true;
    }
    std::string id = std::to_string(i);
    int k = i % kKeys;
    std::string expected;
    switch (kind) {
        case 0:  // a valid key of either table
            c.send("AUTH\t" + id +
                   "\tPLAIN\tresp=" + plainCredential("u", "pw-" + std::to_string(k)) + "\n");
            break;
        case 1:  // an unknown key
            c.send("AUTH\t" + id + "\tPLAIN\tresp=" + plainCredential("u", "nope-" + id) + "\n");
            expected = "FAIL\t" + id + "\treason=authentication failed\n";
            break;
        case 2:  // malformed base64
            c.send("AUTH\t" + id + "\tPLAIN\tresp=@@@@\n");
            expected = "FAIL\t" + id + "\treason=invalid base64\n";
            break;
        default:  // handshake noise and a split line
            c.send("VERSION\t1\t2\nCPID\t" + id + "\nAUTH\t" + id + "\tPL");
            c.send("AIN\n");
            expected = "FAIL\t" + id + "\treason=missing credentials\n";
            break;
    }
    std::string reply = c.readAll(5000ms, &closed);
    if (!closed) {
        t.problem("connection not closed after reply: " + reply);
    } else if (reply.empty()) {
        ++t.reclaimed;
        return false;
    } else if (kind == 0) {
        std::string a = "OK\t" + id + "\tuser=a" + std::to_string(k) + "\n";
        std::string b = "OK\t" + id + "\tuser=b" + std::to_string(k) + "\n";
        if (reply != a && reply != b) t.problem("mixed or bad OK reply: " + reply);
        ++t.ok;
    } else if (reply != expected) {
        t.problem("expected " + expected + " got " + reply);
    } else {
        ++t.fail;
    }
    return true;
}

// As a mail server does, a client whose idle connection was closed connects
// again. A connection is closed as idle only after a second without bytes, so
// only a thread left unscheduled that long between its greeting and its send
// can need a second attempt.
void oneRequest(const std::string& socket, int kind, int i, Tally& t) {
    constexpr int kAttempts = 3;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (oneAttempt(socket, kind, i, t)) return;
    }
    t.problem("closed without a reply on every attempt");
}

TEST(Load, ManyClientsWhileKeysAreReplaced) {
    Daemon d;
    d.writeConfig();
    d.writeKeys(keysFor("a"));
    ASSERT_TRUE(d.startAndWait()) << d.log();
    // Warm up so the first table and the allocator's arenas are in place.
    for (int i = 0; i < 50; ++i) ASSERT_EQ(d.auth("w", "u", "pw-1").substr(0, 3), "OK\t");
    std::this_thread::sleep_for(50ms);
    const int fdsBefore = openDescriptors(d.pid());
    const long rssBefore = residentKiB(d.pid());
    ASSERT_GT(fdsBefore, 0) << "cannot count the daemon's descriptors";
    ASSERT_GT(rssBefore, 0) << "cannot read the daemon's resident size";

    constexpr int kClients = 80;
    constexpr int kPerClient = 50;
    Tally t;
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        for (int round = 0; !stop; ++round) {
            d.replaceKeys(keysFor(round % 2 ? "a" : "b"));
            d.signal(SIGHUP);
            std::this_thread::sleep_for(15ms);
        }
    });
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int r = 0; r < kPerClient; ++r)
                oneRequest(d.socketPath(), (c + r) % 4, c * 1000 + r, t);
        });
    }
    for (auto& th : clients) th.join();
    stop = true;
    changer.join();

    ASSERT_TRUE(d.running()) << d.log();
    for (const auto& p : t.problems) ADD_FAILURE() << p;
    EXPECT_EQ(t.errors.load(), 0);
    EXPECT_EQ(t.ok + t.fail + t.rejected, kClients * kPerClient);
    EXPECT_GT(t.ok.load(), 0);
    // Every close without a reply is a logged reclaim (the count may take a
    // second to reach the log).
    for (int i = 0; i < 30 && Daemon::closedIdleCount(d.log()) < t.reclaimed.load(); ++i) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_LE(t.reclaimed.load(), Daemon::closedIdleCount(d.log()));
    // Let the reloads still due to the changer's last signals run, then one
    // more, and only then compare: the daemon holds what it held before.
    const std::string reloaded = "info(keycache): reloaded ";
    int reloads = Daemon::countOf(d.log(), reloaded);
    for (int settled = -1; settled != reloads;) {
        settled = reloads;
        std::this_thread::sleep_for(100ms);
        reloads = Daemon::countOf(d.log(), reloaded);
    }
    d.replaceKeys(keysFor("a"));
    ASSERT_TRUE(d.waitForLog(reloaded, 5000ms, reloads + 1));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(openDescriptors(d.pid()), fdsBefore);
    EXPECT_LE(residentKiB(d.pid()), rssBefore + kRssGrowthKiB) << "before " << rssBefore << " KiB";
    std::printf(
        "load: %d requests from %d clients: %d OK, %d FAIL, %d rejected, %d reconnected; fds %d, "
        "rss %ld -> %ld KiB\n",
        kClients * kPerClient, kClients, t.ok.load(), t.fail.load(), t.rejected.load(),
        t.reclaimed.load(), fdsBefore, rssBefore, residentKiB(d.pid()));
    d.signal(SIGTERM);
    EXPECT_EQ(d.waitExit(), 0);
}

TEST(Faults, HostileClientsAndBadKeysFiles) {
    ::signal(SIGPIPE, SIG_IGN);  // the FIFO feeder meets a departed reader
    Daemon d;
    d.writeConfig();
    d.writeKeys(keysFor("a"));
    ASSERT_TRUE(d.startAndWait()) << d.log();
    EXPECT_EQ(d.auth("1", "", "pw-1"), "OK\t1\tuser=a1\n");
    std::this_thread::sleep_for(50ms);  // the probe connections are closed by now
    const int fdsBefore = openDescriptors(d.pid());
    ASSERT_GT(fdsBefore, 0) << "cannot count the daemon's descriptors";
    for (int i = 0; i < 30; ++i) {
        {
            Client gone(d.socketPath());  // leaves before the greeting is read
        }
        {
            Client half(d.socketPath());
            half.send("AUTH\t1\tPLAIN\tresp=AAAA");  // leaves in the middle of a line
        }
        {
            Client rude(d.socketPath());
            rude.send("AUTH\t1\tPLAIN\tresp=" + plainCredential("", "pw-3") + "\n");
            rude.close();  // never reads the reply: the daemon meets EPIPE
        }
    }
    // A FIFO in place of the keys, fed without end: error line, old table kept.
    const std::string fifo = d.dir().file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int w = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);  // a writer before the daemon reads
    ASSERT_GE(w, 0);
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        std::string chunk(65536, 'x');
        while (!stop) {
            if (::write(w, chunk.data(), chunk.size()) < 0) std::this_thread::sleep_for(1ms);
        }
    });
    ASSERT_EQ(std::rename(fifo.c_str(), (d.cacheDir() + "/keys").c_str()), 0);
    bool tooBig =
        d.waitForLog("error(keycache): failed to read keys file: error.FileTooBig\n", 10000ms);
    stop = true;
    feeder.join();
    ::close(w);
    ASSERT_TRUE(tooBig) << d.log();
    EXPECT_EQ(d.auth("9", "", "pw-5"), "OK\t9\tuser=a5\n");
    // Removing the FIFO is a change too: the file is then missing, the table stays.
    ::unlink((d.cacheDir() + "/keys").c_str());
    ASSERT_TRUE(d.waitForLog("warning(keycache): keys file not found: "));
    // A file over the limit, moved in whole.
    std::string big = d.dir().write("big", std::string(16777217, '#'));
    ASSERT_EQ(std::rename(big.c_str(), (d.cacheDir() + "/keys").c_str()), 0);
    ASSERT_TRUE(
        d.waitForLog("error(keycache): failed to read keys file: error.FileTooBig\n", 5000ms, 2))
        << d.log();
    EXPECT_EQ(d.auth("10", "", "pw-6"), "OK\t10\tuser=a6\n");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(openDescriptors(d.pid()), fdsBefore);
    d.signal(SIGTERM);
    EXPECT_EQ(d.waitExit(), 0);
}

TEST(Faults, BrokenStderrDoesNotStopService) {
    // Standard error a pipe whose reader has gone: every log line fails with
    // EPIPE, and the daemon keeps serving.
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    ::close(p[0]);
    Daemon quiet;
    quiet.writeConfig();
    quiet.writeKeys(keysFor("q"));
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(p[1], 2);
        ::chdir(quiet.dir().path().c_str());
        ::signal(SIGPIPE, SIG_DFL);
        ::execl(daemonPath().c_str(), daemonPath().c_str(), "-c", quiet.configPath().c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(p[1]);
    Client probe(quiet.socketPath(), 5000ms);
    ASSERT_TRUE(probe.ok());
    EXPECT_EQ(probe.readBytes(38).size(), 38u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(quiet.auth("1", "", "pw-2"), "OK\t1\tuser=q2\n");
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Out of descriptors, as with a full table, a connection idle for the
// minimum time is closed for a waiting client, and a reload still finds a
// descriptor for the keys file.
TEST(Faults, DescriptorExhaustionReclaimsAndReloads) {
    Daemon d;
    d.writeConfig();
    d.writeKeys(keysFor("a"));
    // A low descriptor limit, set in the child before exec (portable, unlike
    // changing a running process's limit), so accepting runs out early; the
    // hard limit too, so the daemon cannot raise it.
    constexpr int kLimit = 24;
    d.setDescriptorLimit(kLimit);
    ASSERT_TRUE(d.startAndWait()) << d.log();
    EXPECT_TRUE(d.waitForLog("warning(main): descriptor limit is 24, below the 80 that"))
        << d.log();
    // Take descriptors until the next client is left waiting in the listen queue.
    std::vector<Client> held;
    std::optional<Client> waiting;
    for (int i = 0; i < kLimit && !waiting; ++i) {
        Client c(d.socketPath());
        ASSERT_TRUE(c.ok());
        if (c.readBytes(38, 300ms).size() == 38u) {
            held.push_back(std::move(c));
        } else {
            waiting.emplace(std::move(c));
        }
    }
    ASSERT_TRUE(waiting.has_value()) << "descriptor limit never reached";
    ASSERT_GE(held.size(), 2u);
    // Until a held connection has been idle long enough, the waiting client
    // must not keep the loop spinning on a listener that stays readable.
    const std::int64_t cpuBefore = platform::cpuMicros(d.pid());
    EXPECT_EQ(waiting->readBytes(38, 2000ms).size(), 38u);
    EXPECT_LT(platform::cpuMicros(d.pid()) - cpuBefore, 100000);
    EXPECT_TRUE(held[0].closedWithin(1000ms));  // the idlest made way
    waiting->send("AUTH\t1\tPLAIN\tresp=" + plainCredential("", "pw-7") + "\n");
    EXPECT_EQ(waiting->readAll(), "OK\t1\tuser=a7\n");
    // Every descriptor taken again, each newcomer in the place of an idle one.
    std::vector<Client> more;
    while (platform::openDescriptorCount(d.pid()) < kLimit && more.size() < 4) {
        more.emplace_back(d.socketPath());
        ASSERT_EQ(more.back().readBytes(38, 2000ms).size(), 38u);
    }
    ASSERT_EQ(platform::openDescriptorCount(d.pid()), kLimit);
    d.signal(SIGHUP);
    EXPECT_TRUE(
        d.waitForLog("info(main): reload signal received (SIGHUP)\n"
                     "info(keycache): reloaded 200 key(s) (generation 2)\n"))
        << d.log();
    // One line for the shortage, not one per failed accept.
    EXPECT_EQ(Daemon::countOf(d.log(), "(new clients wait until a connection closes)\n"), 1)
        << d.log();
    d.signal(SIGTERM);
    EXPECT_EQ(d.waitExit(), 0);
}

}  // namespace
}  // namespace vg::test
