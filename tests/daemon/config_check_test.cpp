// vellumgard-key --check without a keys file: the configuration and what it
// names, checked as the daemon's user would find them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "support/daemon_process.h"
#include "support/tool_process.h"

namespace vg::test {
namespace {

ToolRun check(const std::string& conf, const std::vector<std::string>& more = {}) {
    std::vector<std::string> argv{toolPath("vellumgard-key"), "--check", "-c", conf};
    argv.insert(argv.end(), more.begin(), more.end());
    return runTool(argv);
}

TEST(ConfigCheck, ReportsWhatTheDaemonWouldIgnoreOrRefuse) {
    TempDir dir;
    ::mkdir(dir.file("run").c_str(), 0755);
    ::mkdir(dir.file("cache").c_str(), 0755);
    const std::string base = "[sasl]\nsocket = " + dir.file("run/s.sock") +
                             "\nsocket_mode = 0660\ncache_dir = " + dir.file("cache") + "\n";
    struct Case {
        std::string extra;  // lines after the base, which they override
        std::string keys;
        int status;
        std::string finding;  // a substring of standard output; "" for none at all
    };
    const Case cases[] = {
        {"", "", 0, ""},
        {"socket_mod = 0600\n", "", 1,
         ":5: unknown setting 'socket_mod' in [sasl] is ignored; did you mean socket_mode?"},
        {"socket_mode = 0o660\n", "", 1,
         ":5: socket_mode = '0o660' is not an octal mode from 0 to 7777"},
        {"hash_algorithm = SHA256\n", "", 1, "hash_algorithm = 'SHA256' is neither"},
        {"socket_mode = 0662\n", "", 1, "socket_mode = 0662 lets every local user connect"},
        {"socket = ''\n", "", 1, "socket is empty"},
        {"socket = " + dir.file("gone/s.sock") + "\n", "", 1,
         "the socket's directory " + dir.file("gone") + " does not exist"},
        {"", "no-tab-here\n", 1, "cache/keys:1: skipped: no tab"},
    };
    const std::string conf = dir.file("vg.conf");
    for (const Case& c : cases) {
        dir.write("vg.conf", base + c.extra);
        dir.write("cache/keys", c.keys);
        ToolRun r = check(conf);
        EXPECT_EQ(r.status, c.status) << c.extra << r.out << r.err;
        if (c.finding.empty()) {
            EXPECT_EQ(r.out, "") << c.extra;
        } else {
            EXPECT_NE(r.out.find(c.finding), std::string::npos) << c.extra << r.out;
        }
    }
    EXPECT_EQ(check(dir.file("missing.conf")).status, 1);
}

TEST(ConfigCheck, ChecksAsTheRunAsUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to check as another user";
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    ::mkdir(dir.file("cache").c_str(), 0700);  // root's alone
    dir.write("cache/keys", "");
    const std::string conf =
        dir.write("vg.conf", "[sasl]\nsocket = " + dir.file("s.sock") +
                                 "\nsocket_mode = 0660\ncache_dir = " + dir.file("cache") + "\n");
    ::chmod(conf.c_str(), 0644);
    EXPECT_EQ(check(conf).status, 0) << check(conf).out;
    ToolRun r = check(conf, {"-u", "nobody"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("nobody cannot read and search cache_dir " + dir.file("cache")),
              std::string::npos)
        << r.out;
}

}  // namespace
}  // namespace vg::test
