// vellumgard-auth against the real daemon: replies, exit statuses, the
// password from standard input, and a deadline that covers the connect.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include "platform/unix_socket.h"
#include "support/daemon_process.h"
#include "support/tool_process.h"

namespace vg::test {
namespace {

using Clock = std::chrono::steady_clock;

ToolRun authTool(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), toolPath("vellumgard-auth"));
    return runTool(args, input);
}

TEST(AuthTool, RepliesAndTheirStatuses) {
    Daemon d;
    d.writeConfig();
    d.writeKeys(sha256Hex("s3cret") + "\toperator\n");
    ASSERT_TRUE(d.startAndWait()) << d.log();
    const std::string s = d.socketPath();
    const std::string ok = "OK\t1\tuser=operator\n";
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out;
    };
    const Case cases[] = {
        {{"-s", s, "-u", "someone", "s3cret"}, "", 0, ok},
        {{"-s", s, "-"}, "s3cret\n", 0, ok},  // the password kept out of argv
        {{"-s", s}, "s3cret\n", 0, ok},
        {{"-s", s, "wrong"}, "", 1, "FAIL\t1\treason=authentication failed\n"},
    };
    for (const Case& c : cases) {
        ToolRun r = authTool(c.args, c.input);
        EXPECT_EQ(r.status, c.status) << c.args.size() << " args: " << r.err;
        EXPECT_EQ(r.out, c.out);
    }

    d.signal(SIGTERM);
    EXPECT_EQ(d.waitExit(), 0);
    ToolRun gone = authTool({"-s", s, "s3cret"});
    EXPECT_EQ(gone.status, 2);
    EXPECT_NE(gone.err.find("cannot connect to " + s), std::string::npos) << gone.err;
}

TEST(AuthTool, FindsTheDaemonThroughItsConfigurationAndProbesWithoutAnAttempt) {
    Daemon d;
    d.writeConfig();
    d.writeKeys(sha256Hex("s3cret") + "\toperator\n");
    ASSERT_TRUE(d.startAndWait()) << d.log();
    const std::string conf = d.configPath();
    ToolRun probe = authTool({"--probe", "-c", conf});
    EXPECT_EQ(probe.status, 0) << probe.err;
    ToolRun ok = authTool({"-c", conf, "s3cret"});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "OK\t1\tuser=operator\n");
    // The key tool finds the keys file the same way.
    EXPECT_EQ(runTool({toolPath("vellumgard-key"), "--list", "-c", conf}).out, "operator\t1\n");
    ASSERT_TRUE(d.waitForLog("auth OK")) << d.log();
    EXPECT_EQ(Daemon::countOf(d.log(), "(sasl)"), 1) << "the probe was logged:\n" << d.log();

    d.signal(SIGTERM);
    EXPECT_EQ(d.waitExit(), 0);
    EXPECT_EQ(authTool({"--probe", "-c", conf}).status, 2);
    EXPECT_EQ(authTool({"--probe", "-c", d.dir().file("missing.conf")}).status, 64);
}

TEST(AuthTool, UsageErrorsHaveTheirOwnStatus) {
    const std::vector<std::string> bad[] = {
        {},  // and an empty standard input
        {"-x", "pw"},
        {"a", "b"},
        {"-t", "5x", "pw"},
        {"-t", "0", "pw"},
        {"-t", "3000000", "pw"},
        {"-t", "9223372036854775807", "pw"},
        {"-s", "", "pw"},
        {"-s", std::string(platform::kUnixPathCapacity, 's'), "pw"},
        {"--probe", "pw"},
    };
    for (const auto& args : bad) {
        ToolRun r = authTool(args);
        EXPECT_EQ(r.status, 64) << (args.empty() ? "" : args[0]) << ": " << r.err;
        EXPECT_EQ(r.out, "");
    }
    for (const char* help : {"-h", "--help"}) {
        ToolRun r = authTool({help});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.rfind("usage: vellumgard-auth", 0), 0u) << r.out;
    }
}

TEST(AuthTool, DeadlineCoversAStoppedDaemonAndItsFullBacklog) {
    Daemon d;
    d.writeConfig();
    d.writeKeys("");
    ASSERT_TRUE(d.startAndWait()) << d.log();
    d.signal(SIGSTOP);
    auto timed = [&](const char* what) {
        auto start = Clock::now();
        ToolRun r = authTool({"-s", d.socketPath(), "-t", "1", "pw"});
        EXPECT_EQ(r.status, 2) << what << ": " << r.err;
        EXPECT_LT(Clock::now() - start, 4s) << what;
    };
    timed("no greeting");  // the kernel takes the connection, nobody answers

    // A connection stays queued after its client closed, so the backlog
    // fills without holding a descriptor per connection.
    bool full = false;
    for (int i = 0; !full && i < 100000; ++i) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0);
        full = platform::connectUnix(fd, d.socketPath()) != 0;
        ::close(fd);
    }
    EXPECT_TRUE(full) << "the backlog never filled";
    timed("full backlog");

    d.signal(SIGCONT);
    d.signal(SIGTERM);
    EXPECT_EQ(d.waitExit(), 0);
}

}  // namespace
}  // namespace vg::test
