// The configuration check: the daemon's parser and start-up rules applied
// without starting anything.
#include "keys/config_check.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/files.h"
#include "keys/keys_report.h"
#include "keys/keys_update.h"
#include "platform/unix_socket.h"
#include "support/config_file.h"
#include "support/output.h"

namespace vg::tools {

namespace {

std::string octal(mode_t mode) {
    char text[16];  // room for any unsigned in octal
    (void)std::snprintf(text, sizeof(text), "0%03o", static_cast<unsigned>(mode));
    return text;
}

std::string directoryOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    return slash == 0 ? "/" : std::string(path.substr(0, slash));
}

class Report {
public:
    Report(std::string file, std::string user) : file_(std::move(file)), user_(std::move(user)) {}

    void add(std::size_t line, const std::string& text) {
        out_ += file_ + ":" + (line != 0 ? std::to_string(line) + ":" : "") + " " + text + "\n";
        ++count_;
    }
    void addRaw(const std::string& lines, std::size_t count) {
        out_ += lines;
        count_ += count;
    }
    const std::string& user() const { return user_; }

    Failure finish() const {
        if (!writeAll(STDOUT_FILENO, out_)) {
            return {kExitFailed, "cannot write to standard output: " + errnoText()};
        }
        return {count_ == 0 ? 0 : kExitFailed, ""};
    }

private:
    std::string file_;
    std::string user_;
    std::string out_;
    std::size_t count_ = 0;
};

// A directory the daemon needs, with `access` asked as the user this
// process now is; false (and a finding) when it falls short.
bool checkDirectory(Report& report, std::size_t line, const std::string& what,
                    const std::string& dir, int access, const std::string& need) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        report.add(line,
                   what + " " + dir + (errno == ENOENT ? " does not exist" : ": " + errnoText()));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        report.add(line, what + " " + dir + " is not a directory");
        return false;
    }
    if (::access(dir.c_str(), access) != 0) {
        report.add(line, report.user() + " cannot " + need + " " + what + " " + dir + " (" +
                             errnoText() + ")");
        return false;
    }
    return true;
}

// Every directory from / down to `dir`, links resolved, lets others search
// it; false as soon as one does not or cannot be looked at.
bool othersReach(const std::string& dir) {
    char resolved[PATH_MAX];
    if (::realpath(dir.c_str(), resolved) == nullptr) return false;
    for (std::string path(resolved);; path = directoryOf(path)) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) return false;
        if (path == "/") return true;
    }
}

// Who may connect: a socket without a group or other write bit admits no
// one but its owner, and one with the other bit admits every local user
// only where others can reach it.
void checkWhoConnects(Report& report, const Config& cfg, const ConfigLines& lines) {
    const std::size_t modeLine = lineOf(lines, "socket_mode");
    const std::string mode = modeLine != 0
                                 ? "socket_mode = " + octal(cfg.socket_mode)
                                 : "socket_mode (not set: " + octal(cfg.socket_mode) + ")";
    const std::size_t line = modeLine != 0 ? modeLine : lineOf(lines, "socket");
    const std::string dir = directoryOf(cfg.socket);
    if ((cfg.socket_mode & (S_IWGRP | S_IWOTH)) == 0) {
        report.add(line, mode +
                             " has no group or other write bit: no one but the daemon's user can "
                             "connect, the mail server neither");
    } else if ((cfg.socket_mode & S_IWOTH) != 0 && othersReach(dir)) {
        report.add(line, mode + " lets every local user connect and try keys, since every " +
                             "directory up to " + dir +
                             " lets others through; 0660 admits only the socket's group, as "
                             "does a directory closed to others");
    }
}

const char* kindOf(mode_t mode) {
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "something other than a socket";
}

// What is at the socket's path and its lock file "<socket>.lock": the
// daemon removes only a socket there, and opens an existing lock file
// read-only without following a link.
void checkSocketPath(Report& report, std::size_t line, const std::string& socket) {
    struct stat st {};
    if (::lstat(socket.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
        report.add(line, std::string(kindOf(st.st_mode)) + " is at " + printable(socket) +
                             ", which the daemon leaves alone: it will stop with AddressInUse");
    }
    const std::string lock = socket + ".lock";
    if (::lstat(lock.c_str(), &st) != 0) return;  // the daemon creates it
    if (S_ISLNK(st.st_mode)) {
        report.add(line, "the lock file " + printable(lock) +
                             " is a symbolic link, which the daemon does not follow: it will "
                             "not start; remove the link");
        return;
    }
    const int fd = ::open(lock.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        (void)::close(fd);
        return;
    }
    const std::string why = errnoText();
    const passwd* owner = ::getpwuid(st.st_uid);
    report.add(line, report.user() + " cannot open the lock file " + printable(lock) + " (" + why +
                         "; owner " +
                         (owner != nullptr ? owner->pw_name : "uid " + std::to_string(st.st_uid)) +
                         ", mode " + octal(st.st_mode & 07777) +
                         "): the daemon will not start; hand it to " + report.user() +
                         " or remove it while no daemon runs");
}

void checkAsThisUser(const std::string& path, const std::string& user, Report& report) {
    Result<OwnedBytes> file = readWholeFile(path, kConfigFileLimit);
    if (!file) {
        report.add(0, "cannot be read by " + user + ": error." +
                          std::string(errorName(file.error())) + "; the daemon will not start");
        return;
    }
    Config cfg;
    ConfigLines lines{};
    std::vector<std::string_view> unsettled;
    for (const ConfigFinding& f : readConfigText(file.value().view(), cfg, &lines)) {
        report.add(f.line, f.text);
        unsettled.push_back(f.unsettled);
    }
    // What the file failed to set is left unjudged: the daemon does not start
    // over an invalid value, and a default it fell back to is no one's choice.
    auto settled = [&](std::string_view key) {
        return std::find(unsettled.begin(), unsettled.end(), key) == unsettled.end();
    };
    if (!cfg.socket.empty() && settled("socket")) {
        const std::string socket(cfg.socket);
        const std::size_t line = lineOf(lines, "socket");
        if (socket.size() >= platform::kUnixPathCapacity) {
            report.add(line, "socket = " + printable(socket) + " is longer than " +
                                 std::to_string(platform::kUnixPathCapacity - 1) + " bytes");
        }
        // The daemon removes a stale socket and binds a new one there.
        (void)checkDirectory(report, line, "the socket's directory", directoryOf(socket),
                             W_OK | X_OK, "create the socket in");
        checkSocketPath(report, line, socket);
        if (settled("socket_mode")) checkWhoConnects(report, cfg, lines);
    }
    if (!cfg.cache_dir.empty() && settled("cache_dir")) {
        const std::string dir(cfg.cache_dir);
        if (checkDirectory(report, lineOf(lines, "cache_dir"), "cache_dir", dir, R_OK | X_OK,
                           "read and search")) {
            // A missing keys file is fine: the daemon starts without keys and
            // loads the file when it appears.
            const KeysFileReport keys =
                reportKeysFile(dir + std::string(kKeysName), cfg.hash_algorithm);
            if (keys.unreadable && !keys.missing) report.add(0, keys.unreadable.message);
            report.addRaw(keys.findings, keys.problems);
        }
    }
}

std::string currentUserName() {
    const passwd* pw = ::getpwuid(::geteuid());
    return pw != nullptr ? pw->pw_name : "uid " + std::to_string(::geteuid());
}

// A child that has become `pw` runs the whole check. Asking the kernel as
// that user (reads, access(2)) counts ACLs, read-only mounts and MAC
// policies that reading permission bits would miss, and reads every file
// exactly as the daemon does once daemon(8) -u has switched to the user.
Failure checkAsOtherUser(const std::string& path, const passwd& pw) {
    (void)std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) return {kExitFailed, "cannot fork: " + errnoText()};
    if (child == 0) {
        if (::initgroups(pw.pw_name, pw.pw_gid) != 0 || ::setgid(pw.pw_gid) != 0 ||
            ::setuid(pw.pw_uid) != 0 || ::setuid(0) == 0) {
            say(std::string("cannot become ") + pw.pw_name + ": " + errnoText());
            ::_exit(kExitFailed);
        }
        Report report(path, pw.pw_name);
        checkAsThisUser(path, pw.pw_name, report);
        ::_exit(finish(report.finish()));
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return {kExitFailed, "cannot wait for the check: " + errnoText()};
    }
    if (!WIFEXITED(status))
        return {kExitFailed, "the check as " + std::string(pw.pw_name) + " died"};
    return {WEXITSTATUS(status), ""};
}

}  // namespace

Failure checkConfiguration(const char* configPath, const std::string& user) {
    const std::string path = configPath != nullptr ? configPath : std::string(kToolsConfigPath);
    if (!user.empty()) {
        errno = 0;
        const passwd* pw = ::getpwnam(user.c_str());
        if (pw == nullptr) return {kExitFailed, "no user " + printable(user)};
        if (pw->pw_uid != ::geteuid() || pw->pw_gid != ::getegid()) {
            if (::geteuid() != 0) return {kExitFailed, "only root can check as another user"};
            return checkAsOtherUser(path, *pw);
        }
    }
    const std::string name = user.empty() ? currentUserName() : user;
    Report report(path, name);
    checkAsThisUser(path, name, report);
    return report.finish();
}

}  // namespace vg::tools
