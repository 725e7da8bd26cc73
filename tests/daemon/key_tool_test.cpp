// vellumgard-key: its keys work with the real daemon, and -o updates files safely.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/daemon_process.h"

namespace vg::test {
namespace {

using Clock = std::chrono::steady_clock;

struct ToolRun {
    int status = -1;  // exit status; -1 when killed after the time-out or not started
    std::string out;
    std::string err;
};

// Runs `argv` with `input` on its standard input and collects both outputs.
// The wait is bounded: past `timeout` the child is killed.
ToolRun run(const std::vector<std::string>& argv, const std::string& input = "",
            std::chrono::milliseconds timeout = 10000ms) {
    ToolRun r;
    if (argv.empty()) return r;
    // Built before fork: the child of a threaded parent may not allocate.
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // Close-on-exec, so that runs in parallel threads do not hold each other's pipes.
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return r;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        (void)::signal(SIGPIPE, SIG_DFL);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    // Small inputs fit the pipe; a child that stops reading gets EPIPE, not us a signal.
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)!::write(in[1], input.data(), input.size());
    ::close(in[1]);
    auto deadline = Clock::now() + timeout;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open = 2;
    while (open > 0 && Clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (::poll(fds, 2, static_cast<int>(left.count()) + 1) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            ssize_t n = ::read(fds[i].fd, buf, sizeof(buf));
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& p : fds) {
        if (p.fd >= 0) ::close(p.fd);
    }
    int st = 0;
    while (::waitpid(pid, &st, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &st, 0);
            return r;
        }
        std::this_thread::sleep_for(2ms);
    }
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::string keyTool() {
    return toolPath("vellumgard-key");
}

ToolRun authTool(const Daemon& d, const std::string& password) {
    // Generated passwords may begin with '-'.
    return run({toolPath("vellumgard-auth"), "-s", d.socketPath(), "--", password});
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        ::closedir(d);
    }
    return names;
}

// The password line of a generating run, without its line feed.
std::string passwordOf(const ToolRun& r) {
    return r.out.empty() ? "" : r.out.substr(0, r.out.size() - 1);
}

void expectUrlSafeKey(const std::string& password) {
    EXPECT_EQ(password.size(), 43u) << password;
    EXPECT_EQ(password.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos)
        << password;
}

TEST(KeyTool, NewKeyIsAcceptedAfterTheRenameReloadWithoutSighup) {
    Daemon d;
    d.writeConfig();
    // The last line lacks its line feed: the new line must not be glued to it.
    std::string before = "# kept\n" + sha256Hex("old") + "\tolder";
    d.writeKeys(before);
    ::chmod((d.cacheDir() + "/keys").c_str(), 0604);
    ASSERT_TRUE(d.startAndWait()) << d.log();
    ASSERT_TRUE(d.waitForLog("info(keycache): reloaded 1 key(s) (generation 1)\n")) << d.log();

    ToolRun r = run({keyTool(), "-o", d.cacheDir() + "/keys", "carol"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string password = passwordOf(r);
    expectUrlSafeKey(password);
    EXPECT_EQ(r.err, "vellumgard-key: added a key for carol to " + d.cacheDir() + "/keys\n");

    ASSERT_TRUE(d.waitForLog("info(main): cache directory change detected, reloading\n"))
        << d.log();
    // Creating the temporary file may cause a reload of the old file first.
    ASSERT_TRUE(d.waitForLog("info(keycache): reloaded 2 key(s)")) << d.log();
    ToolRun ok = authTool(d, password);
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "OK\t1\tuser=carol\n");
    EXPECT_EQ(authTool(d, "old").out, "OK\t1\tuser=older\n");
    EXPECT_EQ(d.log().find("reload signal received"), std::string::npos) << d.log();

    EXPECT_EQ(readFile(d.cacheDir() + "/keys"), before + "\n" + sha256Hex(password) + "\tcarol\n");
    EXPECT_EQ(modeOf(d.cacheDir() + "/keys"), 0604u);
    EXPECT_EQ(entries(d.cacheDir()), std::vector<std::string>{"keys"});
    d.signal(SIGTERM);
    EXPECT_EQ(d.waitExit(), 0);
}

TEST(KeyTool, NoneModeLineIsAcceptedByANoneDaemon) {
    Daemon d;
    d.setExtraConfig("hash_algorithm = none\n");
    d.writeConfig();
    d.writeKeys("");
    ASSERT_TRUE(d.startAndWait()) << d.log();

    // A new key for such a daemon: generate, then feed the password to --none.
    std::string password = passwordOf(run({keyTool(), "dave"}));
    expectUrlSafeKey(password);
    ToolRun r = run({keyTool(), "--none", "-o", d.cacheDir() + "/keys", "dave"}, password + "\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    ASSERT_TRUE(d.waitForLog("info(keycache): reloaded 1 key(s)")) << d.log();
    EXPECT_TRUE(d.waitForLog("info(main): cache directory change detected, reloading\n"))
        << d.log();
    EXPECT_EQ(authTool(d, password).out, "OK\t1\tuser=dave\n");
    EXPECT_EQ(readFile(d.cacheDir() + "/keys"), password + "\tdave\n");
    d.signal(SIGTERM);
    EXPECT_EQ(d.waitExit(), 0);
}

TEST(KeyTool, GeneratedKeysAreRandomAndTheirLineIsTheirDigest) {
    ToolRun a = run({keyTool(), "frank"});
    ToolRun b = run({keyTool(), "frank"});
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    expectUrlSafeKey(passwordOf(a));
    EXPECT_NE(a.out, b.out);
    EXPECT_EQ(a.err, sha256Hex(passwordOf(a)) + "\tfrank\n");
    EXPECT_EQ(b.err, sha256Hex(passwordOf(b)) + "\tfrank\n");
}

TEST(KeyTool, HashAndNoneReadOnePasswordLine) {
    struct Case {
        const char* mode;
        std::string input;
        int status;
        std::string out;  // expected standard output
    };
    const std::string pw = "pw of erin";
    const std::string longest(1022, 'p');
    const Case cases[] = {
        {"--hash", pw + "\n", 0, sha256Hex(pw) + "\terin\n"},
        {"--hash", pw + "\r\n", 0, sha256Hex(pw) + "\terin\n"},
        {"--hash", pw, 0, sha256Hex(pw) + "\terin\n"},
        {"--hash", "tab\tand space \n", 0, sha256Hex("tab\tand space ") + "\terin\n"},
        {"--hash", longest + "\n", 0, sha256Hex(longest) + "\terin\n"},
        {"--hash", longest + "p\n", 2, ""},  // no credential the daemon takes can carry it
        {"--hash", "", 2, ""},
        {"--hash", "\n", 2, ""},
        {"--hash", "one\ntwo\n", 2, ""},
        {"--none", pw + "\n", 0, pw + "\terin\n"},
        {"--none", "a\tb\n", 2, ""},
        {"--none", " lead\n", 2, ""},
        {"--none", "\vlead\n", 2, ""},
        {"--none", "#comment\n", 2, ""},  // the line would be skipped as a comment
        {"--none", "\n", 2, ""},
    };
    for (const Case& c : cases) {
        ToolRun r = run({keyTool(), c.mode, "erin"}, c.input);
        EXPECT_EQ(r.status, c.status) << c.mode << " [" << c.input << "] " << r.err;
        EXPECT_EQ(r.out, c.out) << c.mode << " [" << c.input << "]";
        EXPECT_EQ(r.err.empty(), c.status == 0) << r.err;
    }
}

TEST(KeyTool, RefusesOwnersTheKeysFileCannotHoldAndLeavesTheFile) {
    TempDir dir;
    std::string file = dir.write("keys", "keep\tme\n");
    const std::string owners[] = {"",       "a\tb", "a\nb", " lead",
                                  "trail ", "\rx",  "x\f",  std::string(256, 'o')};
    for (const std::string& owner : owners) {
        for (std::vector<std::string> args :
             {std::vector<std::string>{keyTool(), "-o", file},
              std::vector<std::string>{keyTool(), "--hash", "-o", file}}) {
            args.push_back(owner);
            ToolRun r = run(args, "pw\n");
            EXPECT_EQ(r.status, 2) << "[" << owner << "]";
            EXPECT_EQ(r.out, "") << "no password may be shown for a refused owner";
            EXPECT_NE(r.err.find("the owner"), std::string::npos) << r.err;
        }
    }
    EXPECT_EQ(readFile(file), "keep\tme\n");
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"keys"});

    ToolRun longest = run({keyTool(), "--hash", std::string(255, 'o')}, "pw\n");
    EXPECT_EQ(longest.status, 0) << longest.err;
    EXPECT_EQ(longest.out, sha256Hex("pw") + "\t" + std::string(255, 'o') + "\n");
}

TEST(KeyTool, UsageErrorsExitTwo) {
    const std::vector<std::string> bad[] = {
        {}, {"a", "b"}, {"--hash", "--none", "a"}, {"-x", "a"}, {"-o"}, {"-o", "", "a"},
    };
    for (const auto& args : bad) {
        std::vector<std::string> argv{keyTool()};
        argv.insert(argv.end(), args.begin(), args.end());
        ToolRun r = run(argv);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(run({keyTool(), "--help"}).status, 0);
}

TEST(KeyTool, OutputFileIsCreatedWithMode0640AndLinesAccumulate) {
    TempDir dir;
    std::string file = dir.file("keys");
    // The mode is set exactly, whatever the umask would allow.
    mode_t saved = ::umask(077);
    ToolRun first = run({keyTool(), "--hash", "-o", file, "gina"}, "one\n");
    ::umask(saved);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, "");
    EXPECT_EQ(modeOf(file), 0640u);
    ToolRun second = run({keyTool(), "--hash", "-o", file, "hank"}, "two\n");
    ASSERT_EQ(second.status, 0) << second.err;
    ToolRun third = run({keyTool(), "-o", file, "ivy"});
    ASSERT_EQ(third.status, 0) << third.err;
    EXPECT_EQ(readFile(file), sha256Hex("one") + "\tgina\n" + sha256Hex("two") + "\thank\n" +
                                  sha256Hex(passwordOf(third)) + "\tivy\n");
    EXPECT_EQ(modeOf(file), 0640u);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"keys"});
}

TEST(KeyTool, ConcurrentRunsLoseNoLine) {
    TempDir dir;
    std::string file = dir.write("keys", "");
    constexpr int kRuns = 8;
    std::vector<std::thread> threads;
    std::vector<ToolRun> results(kRuns);
    for (int i = 0; i < kRuns; ++i) {
        threads.emplace_back([&, i] {
            results[i] = run({keyTool(), "-o", file, "user" + std::to_string(i)});
        });
    }
    for (auto& t : threads) t.join();
    std::string content = readFile(file);
    for (int i = 0; i < kRuns; ++i) {
        EXPECT_EQ(results[i].status, 0) << results[i].err;
        EXPECT_NE(
            content.find(sha256Hex(passwordOf(results[i])) + "\tuser" + std::to_string(i) + "\n"),
            std::string::npos)
            << content;
    }
    EXPECT_EQ(Daemon::countOf(content, "\n"), kRuns);
}

TEST(KeyTool, RefusedUpdatesLeaveEverythingAsItWas) {
    TempDir dir;
    std::string target = dir.write("real", "a\tb\n");
    std::string link = dir.file("link");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    ToolRun viaLink = run({keyTool(), "--hash", "-o", link, "jo"}, "pw\n");
    EXPECT_EQ(viaLink.status, 1);
    EXPECT_NE(viaLink.err.find("symbolic link"), std::string::npos) << viaLink.err;
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(readFile(target), "a\tb\n");

    EXPECT_EQ(run({keyTool(), "--hash", "-o", dir.path(), "jo"}, "pw\n").status, 1);
    EXPECT_EQ(run({keyTool(), "--hash", "-o", dir.file("missing/keys"), "jo"}, "pw\n").status, 1);

    // One line more than the daemon's 16 MiB would take: refused, and the
    // password already shown is declared invalid.
    std::string big = dir.file("big");
    {
        std::ofstream f(big, std::ios::binary);
        std::string line(1023, 'k');
        line += '\n';
        for (int i = 0; i < 16 * 1024; ++i) f << line;
    }
    ToolRun tooBig = run({keyTool(), "-o", big, "kim"});
    EXPECT_EQ(tooBig.status, 1);
    expectUrlSafeKey(passwordOf(tooBig));
    EXPECT_NE(tooBig.err.find("NOT valid"), std::string::npos) << tooBig.err;
    struct stat bs {};
    ASSERT_EQ(::stat(big.c_str(), &bs), 0);
    EXPECT_EQ(bs.st_size, 16 * 1024 * 1024);
    std::vector<std::string> names = entries(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"big", "link", "real"}));
}

}  // namespace
}  // namespace vg::test
