// vellumgard-auth against the real daemon: replies and exit statuses.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>
#include <cstdio>

#include "support/daemon_process.h"

namespace vg::test {
namespace {

struct ToolRun {
    int status = -1;
    std::string out;
};

ToolRun runTool(const std::vector<std::string>& args) {
    std::string cmd = toolPath("vellumgard-auth");
    for (const auto& a : args) cmd += " '" + a + "'";
    cmd += " 2>&1";
    ToolRun run;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) return run;
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) run.out.append(buf, n);
    int st = ::pclose(p);
    run.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return run;
}

TEST(AuthTool, OkFailAndUnreachable) {
    Daemon d;
    d.writeConfig();
    d.writeKeys(sha256Hex("s3cret") + "\toperator\n");
    ASSERT_TRUE(d.startAndWait()) << d.log();

    ToolRun ok = runTool({"-s", d.socketPath(), "-u", "someone", "s3cret"});
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.out, "OK\t1\tuser=operator\n");

    ToolRun bad = runTool({"-s", d.socketPath(), "wrong"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "FAIL\t1\treason=authentication failed\n");

    d.signal(SIGTERM);
    EXPECT_EQ(d.waitExit(), 0);

    ToolRun gone = runTool({"-s", d.socketPath(), "s3cret"});
    EXPECT_EQ(gone.status, 2);
    EXPECT_NE(gone.out.find("cannot connect to " + d.socketPath()), std::string::npos) << gone.out;
}

TEST(AuthTool, UsageErrorsExitTwo) {
    EXPECT_EQ(runTool({}).status, 2);
    EXPECT_EQ(runTool({"-x", "pw"}).status, 2);
    EXPECT_EQ(runTool({"a", "b"}).status, 2);
}

}  // namespace
}  // namespace vg::test
