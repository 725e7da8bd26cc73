// vellumgard-key with the real daemon, and the installed tree.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/daemon_process.h"

namespace vg::test {
namespace {

struct ShellRun {
    int status = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs a shell command line; stdin from `input`.
ShellRun run(const std::string& cmdline, const std::string& input = "") {
    TempDir io;
    std::string in = io.write("in", input);
    std::string cmd = cmdline + " <" + in + " >" + io.file("out") + " 2>" + io.file("err");
    ShellRun r;
    int st = std::system(cmd.c_str());
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    auto slurp = [](const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    };
    r.out = slurp(io.file("out"));
    r.err = slurp(io.file("err"));
    return r;
}

std::string key() { return toolPath("vellumgard-key"); }
std::string authTool() { return toolPath("vellumgard-auth"); }

std::string readFile(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

TEST(KeyTool, NewKeyIsAnsweredAfterRenameReload) {
    Daemon d;
    d.writeConfig();
    d.writeKeys("# first line stays\n" + sha256Hex("old") + "\tolder\n");
    ASSERT_TRUE(d.startAndWait()) << d.log();
    ShellRun r = run(key() + " -o " + d.cacheDir() + "/keys carol");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string password = r.out.substr(0, r.out.size() - 1);
    ASSERT_EQ(password.size(), 43u);
    EXPECT_EQ(password.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    ASSERT_TRUE(d.waitForLog("info(main): cache directory change detected, reloading\n")) << d.log();
    ASSERT_TRUE(d.waitForLog("(generation 2)\n")) << d.log();
    ShellRun ok = run(authTool() + " -s " + d.socketPath() + " '" + password + "'");
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "OK\t1\tuser=carol\n");
    EXPECT_EQ(run(authTool() + " -s " + d.socketPath() + " old").out, "OK\t1\tuser=older\n");
    EXPECT_EQ(readFile(d.cacheDir() + "/keys"),
              "# first line stays\n" + sha256Hex("old") + "\tolder\n" + sha256Hex(password) + "\tcarol\n");
    d.signal(SIGTERM);
    EXPECT_EQ(d.waitExit(), 0);
}

TEST(KeyTool, NoneModeWithItsDaemon) {
    Daemon d;
    d.setExtraConfig("hash_algorithm = none\n");
    d.writeConfig();
    d.writeKeys("");
    ASSERT_TRUE(d.startAndWait()) << d.log();
    ShellRun r = run(key() + " --none -o " + d.cacheDir() + "/keys dave", "plain-secret\n");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(d.waitForLog("(generation 2)\n")) << d.log();
    EXPECT_EQ(run(authTool() + " -s " + d.socketPath() + " plain-secret").out, "OK\t1\tuser=dave\n");
    d.signal(SIGTERM);
    EXPECT_EQ(d.waitExit(), 0);
}

TEST(KeyTool, HashModeAndRandomness) {
    ShellRun h = run(key() + " --hash erin", "pw-of-erin\r\n");
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.out, sha256Hex("pw-of-erin") + "\terin\n");
    ShellRun a = run(key() + " frank");
    ShellRun b = run(key() + " frank");
    ASSERT_EQ(a.status, 0);
    EXPECT_NE(a.out, b.out);
    // The line on standard error is the key of the password on standard output.
    EXPECT_EQ(a.err, sha256Hex(a.out.substr(0, a.out.size() - 1)) + "\tfrank\n");
}

TEST(KeyTool, RefusesOwnersTheFileCannotHold) {
    TempDir dir;
    std::string file = dir.write("keys", "keep\tme\n");
    for (std::string owner : {"''", "'a\tb'", "'a\nb'", "' lead'"}) {
        ShellRun r = run(key() + " -o " + file + " " + owner);
        EXPECT_EQ(r.status, 2) << owner;
        EXPECT_NE(r.err.find("cannot hold"), std::string::npos) << r.err;
    }
    EXPECT_EQ(readFile(file), "keep\tme\n");
    EXPECT_EQ(run(key()).status, 2);
    EXPECT_EQ(run(key() + " --none x", "a\tb\n").status, 2);
}

TEST(KeyTool, NewFileGetsMode0640AndExistingKeepsItsMode) {
    TempDir dir;
    ASSERT_EQ(run(key() + " -o " + dir.file("new") + " gina").status, 0);
    struct stat st{};
    ASSERT_EQ(::stat(dir.file("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    std::string old = dir.write("old", "x\ty");  // no final line feed
    ::chmod(old.c_str(), 0600);
    ASSERT_EQ(run(key() + " --hash -o " + old + " hank", "p\n").status, 0);
    ASSERT_EQ(::stat(old.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(readFile(old), "x\ty\n" + sha256Hex("p") + "\thank\n");
}

TEST(Install, DestdirTreeHasTheDocumentedFiles) {
    TempDir dest;
    std::string buildDir = VG_BIN_DIR;
    ShellRun r = run("DESTDIR=" + dest.path() + " cmake --install " + buildDir + " --prefix /usr/local");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string root = dest.path() + "/usr/local/";
    for (std::string exe : {"sbin/vellumgard", "bin/vellumgard-auth", "bin/vellumgard-key"}) {
        EXPECT_EQ(::access((root + exe).c_str(), X_OK), 0) << exe;
    }
    for (std::string f : {"share/man/man1/vellumgard-auth.1", "share/man/man1/vellumgard-key.1",
                          "share/man/man5/vellumgard.conf.5", "share/man/man8/vellumgard.8",
                          "etc/vellumgard.conf.sample", "share/vellumgard/freebsd/rc.d/vellumgard",
                          "share/vellumgard/systemd/vellumgard.service"}) {
        EXPECT_EQ(::access((root + f).c_str(), R_OK), 0) << f;
    }
    EXPECT_NE(::access((root + "etc/vellumgard.conf").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace vg::test
