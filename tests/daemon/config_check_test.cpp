// vellumgard-key --check without a keys file: the configuration and what it
// names, checked as the daemon's user would find them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

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
    // Others may search the way to open/, not into private/.
    ::chmod(dir.path().c_str(), 0755);
    ::mkdir(dir.file("open").c_str(), 0755);
    ::mkdir(dir.file("private").c_str(), 0700);
    ::mkdir(dir.file("cache").c_str(), 0755);
    dir.write("open/file.sock", "");
    (void)::symlink("elsewhere", dir.file("open/linked.sock.lock").c_str());
    const std::string open = dir.file("open/s.sock");
    struct Case {
        std::string before = "";  // ahead of [sasl]
        std::string socket = "";  // the socket line's value; "" for open/s.sock
        std::string mode = "0660";
        std::string extra = "";  // lines 5 on
        std::string keys = "";
        int status = 1;
        std::string finding = "";  // a substring of standard output; "" for none at all
        std::size_t count = 1;     // lines of output
    };
    const Case cases[] = {
        {.status = 0, .count = 0},
        {.socket = dir.file("private/s.sock"), .mode = "0666", .status = 0, .count = 0},
        {.extra = "socket_mod = 0600\n",
         .finding =
             ":5: unknown setting 'socket_mod' in [sasl] is ignored; did you mean socket_mode?"},
        {.mode = "0o660",
         .finding = ":4: socket_mode = '0o660' is not an octal mode from 0 to 7777"},
        {.extra = "hash_algorithm = SHA256\n", .finding = "hash_algorithm = 'SHA256' is neither"},
        {.mode = "0662", .finding = ":4: socket_mode = 0662 lets every local user connect"},
        {.mode = "06600", .finding = ":4: socket_mode = 06600 has no group or other write bit"},
        {.socket = "''", .finding = ":2: socket is empty"},
        {.socket = dir.file("gone/s.sock"),
         .finding = ":2: the socket's directory " + dir.file("gone") + " does not exist"},
        {.keys = "no-tab-here\n", .finding = "cache/keys:1: skipped: no tab"},
        {.socket = open + "  # smtpd_sasl_path",
         .finding = ":2: socket = '" + open + "  # smtpd_sasl_path': the daemon reads '  #"},
        {.extra = "socket_mode = 0660\n", .finding = ":5: socket_mode is set on lines 4 and 5"},
        {.socket = std::filesystem::relative(open).string(), .finding = "is a relative path"},
        {.before = "\xEF\xBB\xBF",
         .finding = ":1: the file begins with a UTF-8 byte order mark",
         .count = 4},
        {.extra = "[SASL]\nsocket_mode = 0600\n",
         .finding = ":5: section header '[SASL]' is not exactly [sasl] (other letter case)",
         .count = 2},
        {.extra = "[sasl] # x\n", .finding = "is not exactly [sasl] (text after the bracket)"},
        {.before = "socket_mode = 0600\n",
         .finding = ":1: setting 'socket_mode' is outside [sasl] (before any header)"},
        {.socket = dir.file("open/file.sock"), .finding = ":2: a regular file is at"},
        {.socket = dir.file("open/linked.sock"),
         .finding =
             ":2: the lock file " + dir.file("open/linked.sock.lock") + " is a symbolic link"},
    };
    const std::string conf = dir.file("vg.conf");
    for (const Case& c : cases) {
        const std::string text =
            c.before + "[sasl]\nsocket = " + (c.socket.empty() ? open : c.socket) +
            "\ncache_dir = " + dir.file("cache") + "\nsocket_mode = " + c.mode + "\n" + c.extra;
        dir.write("vg.conf", text);
        dir.write("cache/keys", c.keys);
        ToolRun r = check(conf);
        EXPECT_EQ(r.status, c.status) << text << r.out << r.err;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), c.count) << text << r.out;
        EXPECT_NE(r.out.find(c.finding), std::string::npos) << text << r.out;
    }
    EXPECT_EQ(check(dir.file("missing.conf")).status, 1);
}

TEST(ConfigCheck, ChecksAsTheRunAsUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to check as another user";
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    ::mkdir(dir.file("cache").c_str(), 0700);  // root's alone
    dir.write("cache/keys", "");
    ::chmod(dir.write("s.sock.lock", "").c_str(), 0600);  // left by a daemon run as root
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
    EXPECT_NE(r.out.find(":2: nobody cannot open the lock file " + dir.file("s.sock.lock")),
              std::string::npos)
        << r.out;
}

}  // namespace
}  // namespace vg::test
