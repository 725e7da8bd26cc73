// vellumgard-key: its keys work with the real daemon, and -o updates files safely.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/daemon_process.h"
#include "support/tool_process.h"

namespace vg::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string keyTool() {
    return toolPath("vellumgard-key");
}

ToolRun authTool(const Daemon& d, const std::string& password) {
    // Generated passwords may begin with '-'.
    return runTool({toolPath("vellumgard-auth"), "-s", d.socketPath(), "--", password});
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

    ToolRun r = runTool({keyTool(), "-o", d.cacheDir() + "/keys", "carol"});
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
    std::string password = passwordOf(runTool({keyTool(), "dave"}));
    expectUrlSafeKey(password);
    ToolRun r =
        runTool({keyTool(), "--none", "-o", d.cacheDir() + "/keys", "dave"}, password + "\n");
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
    ToolRun a = runTool({keyTool(), "frank"});
    ToolRun b = runTool({keyTool(), "frank"});
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
        {"--hash", std::string("nul\0inside\n", 11), 2, ""},  // PLAIN cannot carry it
        {"--none", pw + "\n", 0, pw + "\terin\n"},
        {"--none", "a\tb\n", 2, ""},
        {"--none", " lead\n", 2, ""},
        {"--none", "\vlead\n", 2, ""},
        {"--none", "#comment\n", 2, ""},  // the line would be skipped as a comment
        {"--none", "\n", 2, ""},
    };
    for (const Case& c : cases) {
        ToolRun r = runTool({keyTool(), c.mode, "erin"}, c.input);
        EXPECT_EQ(r.status, c.status) << c.mode << " [" << c.input << "] " << r.err;
        EXPECT_EQ(r.out, c.out) << c.mode << " [" << c.input << "]";
        EXPECT_EQ(r.err.empty(), c.status == 0) << r.err;
    }
}

TEST(KeyTool, RefusesOwnersTheKeysFileCannotHoldAndLeavesTheFile) {
    TempDir dir;
    std::string file = dir.write("keys", "keep\tme\n");
    const std::string owners[] = {"",
                                  "a\tb",
                                  "a\nb",
                                  " lead",
                                  "trail ",
                                  "\rx",
                                  "x\f",
                                  "a\x01",
                                  "esc\x1b[2J",
                                  "del\x7f",
                                  std::string(256, 'o')};
    for (const std::string& owner : owners) {
        for (std::vector<std::string> args :
             {std::vector<std::string>{keyTool(), "-o", file},
              std::vector<std::string>{keyTool(), "--hash", "-o", file}}) {
            args.push_back(owner);
            ToolRun r = runTool(args, "pw\n");
            EXPECT_EQ(r.status, 2) << "[" << owner << "]";
            EXPECT_EQ(r.out, "") << "no password may be shown for a refused owner";
            EXPECT_NE(r.err.find("the owner"), std::string::npos) << r.err;
        }
    }
    EXPECT_EQ(readFile(file), "keep\tme\n");
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"keys"});

    ToolRun longest = runTool({keyTool(), "--hash", std::string(255, 'o')}, "pw\n");
    EXPECT_EQ(longest.status, 0) << longest.err;
    EXPECT_EQ(longest.out, sha256Hex("pw") + "\t" + std::string(255, 'o') + "\n");
}

TEST(KeyTool, UsageErrorsExit64) {
    const std::vector<std::string> bad[] = {
        {},
        {"a", "b"},
        {"--hash", "--none", "a"},
        {"-x", "a"},
        {"-o"},
        {"-o", "", "a"},
        {"-c", "", "a"},
        {"--replace", "-o", "f", "a"},   // --replace only with --hash or --none
        {"--check", "-u", "root", "f"},  // -u only for the configuration check
        {"--check", "--none"},           // which takes hash_algorithm from the file
        {"--revoke", "--list", "f"},     // one action at a time
        {"--list", "-o", "f", "f"},      // the file is the operand
        {"--check", "f", "g"},
        {"--revoke-password", "-o", "f", "a"},
    };
    for (const auto& args : bad) {
        std::vector<std::string> argv{keyTool()};
        argv.insert(argv.end(), args.begin(), args.end());
        ToolRun r = runTool(argv);
        EXPECT_EQ(r.status, 64) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(runTool({keyTool(), "--help"}).status, 0);
}

TEST(KeyTool, OutputFileIsCreatedWithMode0640AndLinesAccumulate) {
    TempDir dir;
    std::string file = dir.file("keys");
    // The mode is set exactly, whatever the umask would allow.
    mode_t saved = ::umask(077);
    ToolRun first = runTool({keyTool(), "--hash", "-o", file, "gina"}, "one\n");
    ::umask(saved);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, "");
    EXPECT_EQ(modeOf(file), 0640u);
    ToolRun second = runTool({keyTool(), "--hash", "-o", file, "hank"}, "two\n");
    ASSERT_EQ(second.status, 0) << second.err;
    ToolRun third = runTool({keyTool(), "-o", file, "ivy"});
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
            results[i] = runTool({keyTool(), "-o", file, "user" + std::to_string(i)});
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

TEST(KeyTool, RefusedUpdatesShowNoPasswordAndLeaveEverythingAsItWas) {
    TempDir dir;
    std::string target = dir.write("real", "a\tb\n");
    std::string link = dir.file("link");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // One line more than the daemon's 16 MiB would take.
    std::string big = dir.file("big");
    {
        std::ofstream f(big, std::ios::binary);
        std::string line(1023, 'k');
        line += '\n';
        for (int i = 0; i < 16 * 1024; ++i) f << line;
    }
    struct Case {
        std::string path;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {link, 2, "symbolic link"},
        {dir.path(), 2, "not a regular file"},
        {dir.path() + "/", 2, "path of a file"},
        {dir.file("missing/keys"), 2, "cannot open the directory"},
        {fifo, 2, "not a regular file"},
        {"/dev/null", 2, "not a regular file"},
        {big, 1, "16 MiB"},
    };
    for (const Case& c : cases) {
        ToolRun r = runTool({keyTool(), "-o", c.path, "jo"});
        EXPECT_EQ(r.status, c.status) << c.path << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.path << ": a password was shown for a key never added";
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(readFile(target), "a\tb\n");
    ASSERT_EQ(::stat(big.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 16 * 1024 * 1024);
    std::vector<std::string> names = entries(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"big", "fifo", "link", "real"}));
}

TEST(KeyTool, UpdateDropsSetIdBitsAndWarnsAboutHardLinks) {
    TempDir dir;
    std::string file = dir.write("keys", "");
    ASSERT_EQ(::chmod(file.c_str(), 06640), 0);
    std::string other = dir.file("other");
    ASSERT_EQ(::link(file.c_str(), other.c_str()), 0);
    ToolRun r = runTool({keyTool(), "--hash", "-o", file, "lee"}, "pw\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(modeOf(file), 0640u);
    EXPECT_NE(r.err.find("2 hard links"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(other), "") << "the other link keeps the old content";
}

// The daemon's answer for `password`, once it is `expected` or 5 s have passed:
// the directory watch reloads soon after a rename, not at once.
std::string answerOnceReloaded(const Daemon& d, const std::string& password,
                               const std::string& expected) {
    auto deadline = Clock::now() + 5s;
    std::string got;
    do {
        got = authTool(d, password).out;
        if (got == expected) break;
        std::this_thread::sleep_for(20ms);
    } while (Clock::now() < deadline);
    return got;
}

TEST(KeyTool, RevokeListAndCheckOnAFileTheDaemonReads) {
    Daemon d;
    d.writeConfig();
    d.writeKeys("");
    ASSERT_TRUE(d.startAndWait()) << d.log();
    const std::string keys = d.cacheDir() + "/keys";
    const std::string ok = "OK\t1\tuser=";
    const std::string fail = "FAIL\t1\treason=authentication failed\n";

    ToolRun alice = runTool({keyTool(), "-o", keys, "alice"});
    ASSERT_EQ(alice.status, 0) << alice.err;
    ASSERT_EQ(runTool({keyTool(), "--hash", "-o", keys, "bob"}, "pw1\n").status, 0);

    // The same password for someone else would take bob's key over: refused.
    const std::string before = readFile(keys);
    ToolRun dup = runTool({keyTool(), "--hash", "-o", keys, "carol"}, "pw1\n");
    EXPECT_EQ(dup.status, 2);
    EXPECT_NE(dup.err.find("for bob (line 2)"), std::string::npos) << dup.err;
    EXPECT_EQ(readFile(keys), before);
    EXPECT_EQ(runTool({keyTool(), "--list", keys}).out, "alice\t1\nbob\t1\n");

    ToolRun replaced = runTool({keyTool(), "--hash", "--replace", "-o", keys, "carol"}, "pw1\n");
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(answerOnceReloaded(d, "pw1", ok + "carol\n"), ok + "carol\n");
    EXPECT_EQ(answerOnceReloaded(d, passwordOf(alice), ok + "alice\n"), ok + "alice\n");

    ToolRun revoked = runTool({keyTool(), "--revoke", "-o", keys, "alice"});
    EXPECT_EQ(revoked.status, 0) << revoked.err;
    EXPECT_NE(revoked.err.find("removed 1 line(s) of alice"), std::string::npos) << revoked.err;
    EXPECT_EQ(answerOnceReloaded(d, passwordOf(alice), fail), fail);
    const std::string onlyCarol = readFile(keys);
    EXPECT_EQ(onlyCarol, sha256Hex("pw1") + "\tcarol\n");
    EXPECT_EQ(runTool({keyTool(), "--revoke", "-o", keys, "alice"}).status, 1);
    EXPECT_EQ(runTool({keyTool(), "--revoke-password", "-o", keys}, "nobody's\n").status, 1);
    EXPECT_EQ(readFile(keys), onlyCarol);

    ToolRun byPassword = runTool({keyTool(), "--revoke-password", "-o", keys}, "pw1\n");
    EXPECT_EQ(byPassword.status, 0) << byPassword.err;
    EXPECT_EQ(answerOnceReloaded(d, "pw1", fail), fail);
    EXPECT_EQ(readFile(keys), "");
    ToolRun clean = runTool({keyTool(), "--check", keys});
    EXPECT_EQ(clean.status, 0) << clean.err;
    EXPECT_EQ(clean.out, keys + ": 0 key(s) to load, 0 problem(s)\n");

    // What --check reports is what the daemon makes of the file.
    d.replaceKeys("# note\n" + sha256Hex("a") + "\tann\nno tab here\n" + sha256Hex("a") +
                  "\tbea\nk\t\tempty owner\nABCDEF\tcy\n" + sha256Hex("b") + "\tdi\x1b[0m\n");
    EXPECT_EQ(answerOnceReloaded(d, "a", ok + "bea\n"), ok + "bea\n");
    ToolRun check = runTool({keyTool(), "--check", keys});
    EXPECT_EQ(check.status, 1) << check.err;
    EXPECT_EQ(check.out,
              keys + ":3: skipped: no tab between a key and an owner\n" + keys +
                  ":4: repeats the key of line 2, which now signs in as bea instead of ann\n" +
                  keys + ":5: skipped: the owner is empty\n" + keys +
                  ":6: no password matches this key with hash_algorithm = sha256 (it is not 64 "
                  "lowercase hexadecimal digits)\n" +
                  keys +
                  ":7: the owner holds control bytes, which the daemon sends as they are in "
                  "replies and logs\n" +
                  keys + ": 3 key(s) to load, 5 problem(s)\n");
    EXPECT_EQ(runTool({keyTool(), "--list", keys}).out, "bea\t1\ncy\t1\ndi\\x1b[0m\t1\n");
    d.signal(SIGTERM);
    EXPECT_EQ(d.waitExit(), 0);
}

TEST(KeyTool, SignalAtThePromptRestoresTheTerminalEcho) {
    struct Case {
        char key;  // typed at the prompt
        int signal;
    };
    const Case cases[] = {{'\x03', SIGINT}, {'\x1c', SIGQUIT}};
    const std::string tool = keyTool();
    for (const Case& c : cases) {
        int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        const std::string name = ::ptsname(master);
        int slave = ::open(name.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        termios before{};
        ASSERT_EQ(::tcgetattr(slave, &before), 0);
        ASSERT_NE(before.c_lflag & ECHO, 0u);
        char* argv[] = {const_cast<char*>(tool.c_str()), const_cast<char*>("--hash"),
                        const_cast<char*>("sam"), nullptr};
        pid_t pid = ::fork();
        if (pid == 0) {
            // A session of its own with the pty as controlling terminal, so
            // that the typed key signals it as a real terminal would.
            ::setsid();
            int tty = ::open(name.c_str(), O_RDWR);
            ::ioctl(tty, TIOCSCTTY, 0);
            for (int fd = 0; fd < 3; ++fd) ::dup2(tty, fd);
            const rlimit noCore{0, 0};
            ::setrlimit(RLIMIT_CORE, &noCore);
            for (int s : {SIGINT, SIGQUIT}) ::signal(s, SIG_DFL);
            ::execv(argv[0], argv);
            ::_exit(127);
        }
        ASSERT_GT(pid, 0);
        std::string shown;
        auto deadline = Clock::now() + 5s;
        while (shown.find("password for sam: ") == std::string::npos && Clock::now() < deadline) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char buf[256];
            ssize_t n = ::read(master, buf, sizeof(buf));
            if (n > 0) shown.append(buf, static_cast<std::size_t>(n));
        }
        ASSERT_NE(shown.find("password for sam: "), std::string::npos) << shown;
        termios during{};
        ASSERT_EQ(::tcgetattr(slave, &during), 0);
        EXPECT_EQ(during.c_lflag & ECHO, 0u) << "the password would be echoed";
        ASSERT_EQ(::write(master, &c.key, 1), 1);
        int st = 0;
        while (::waitpid(pid, &st, WNOHANG) == 0 && Clock::now() < deadline + 5s) {
            std::this_thread::sleep_for(5ms);
        }
        if (::waitpid(pid, &st, WNOHANG) == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &st, 0);
        }
        EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == c.signal) << "status " << st;
        termios after{};
        ASSERT_EQ(::tcgetattr(slave, &after), 0);
        EXPECT_NE(after.c_lflag & ECHO, 0u) << "echo left off after signal " << c.signal;
        ::close(slave);
        ::close(master);
    }
}

// Starts `argv` with standard output on `out`, SIGTERM at its default.
pid_t spawnWithOutput(const std::vector<std::string>& args, int out) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out, 1);
        ::signal(SIGTERM, SIG_DFL);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// A pipe whose write end is already full: a run that prints to it waits.
void fullPipe(int (&fds)[2]) {
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ASSERT_EQ(::fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
    char fill[4096] = {};
    while (::write(fds[1], fill, sizeof(fill)) > 0) {
    }
    ASSERT_EQ(::fcntl(fds[1], F_SETFL, 0), 0);
}

TEST(KeyTool, SignalDuringTheUpdateLeavesNoTemporaryFile) {
    TempDir dir;
    // Near the daemon's limit, so that writing and flushing the new file
    // takes long enough to be caught with its temporary file in place.
    const std::string content = "keep\tme\n" + std::string(15u << 20, '#') + "\n";
    const std::string file = dir.write("keys", content);
    bool caught = false;
    for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
        ::unlink(file.c_str());
        dir.write("keys", content);
        pid_t pid = spawnWithOutput({keyTool(), "-o", file, "tom"}, STDOUT_FILENO);
        ASSERT_GT(pid, 0);
        auto deadline = Clock::now() + 5s;
        while (!caught && Clock::now() < deadline) {
            for (const std::string& n : entries(dir.path())) caught |= n.rfind(".keys.", 0) == 0;
        }
        ::kill(pid, SIGTERM);
        int st = 0;
        ::waitpid(pid, &st, 0);
        caught = caught && WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM;
    }
    ASSERT_TRUE(caught) << "no run was caught with its temporary file";
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"keys"});
    EXPECT_EQ(readFile(file), content);
}

TEST(KeyTool, ARefusedUpdateShowsNoPassword) {
    TempDir dir;
    const std::string file = dir.write("keys", "keep\tme\n");
    // The password waits behind a full output; meanwhile the file is edited
    // by hand. Whichever came first, the rename or the edit, a password is
    // shown only if its key is in the file.
    int out[2];
    fullPipe(out);
    pid_t pid = spawnWithOutput({keyTool(), "-o", file, "tom"}, out[1]);
    ASSERT_GT(pid, 0);
    ::close(out[1]);
    auto deadline = Clock::now() + 5s;
    auto started = [&] {
        if (readFile(file).find("\ttom\n") != std::string::npos) return true;
        const auto names = entries(dir.path());
        return std::any_of(names.begin(), names.end(),
                           [](const std::string& n) { return n.rfind(".keys.", 0) == 0; });
    };
    while (!started() && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
    ASSERT_TRUE(started());
    std::this_thread::sleep_for(50ms);  // into the blocked write
    {
        std::ofstream edit(file, std::ios::app);
        edit << "# edited\n";
    }
    std::string shown;
    char buf[4096];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof(buf))) > 0;) shown.append(buf, n);
    ::close(out[0]);
    int st = 0;
    ::waitpid(pid, &st, 0);
    shown.erase(0, shown.find_first_not_of('\0'));
    ASSERT_TRUE(WIFEXITED(st));
    if (WEXITSTATUS(st) != 0) {
        EXPECT_EQ(shown, "") << "a refused update showed a password";
    } else {
        ASSERT_FALSE(shown.empty());
        EXPECT_NE(readFile(file).find(sha256Hex(shown.substr(0, shown.size() - 1)) + "\ttom\n"),
                  std::string::npos);
    }
}

}  // namespace
}  // namespace vg::test
