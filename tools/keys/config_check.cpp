// The configuration check: the daemon's parser and start-up rules applied
// without starting anything.
#include "keys/config_check.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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
    (void)std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode));
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
bool checkDirectory(Report& report, const std::string& what, const std::string& dir, int access,
                    const std::string& need) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        report.add(0,
                   what + " " + dir + (errno == ENOENT ? " does not exist" : ": " + errnoText()));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        report.add(0, what + " " + dir + " is not a directory");
        return false;
    }
    if (::access(dir.c_str(), access) != 0) {
        report.add(0, report.user() + " cannot " + need + " " + what + " " + dir + " (" +
                          errnoText() + ")");
        return false;
    }
    return true;
}

void checkAsThisUser(const std::string& path, const std::string& user, Report& report) {
    Result<OwnedBytes> file = readWholeFile(path, kConfigFileLimit);
    if (!file) {
        report.add(0, "cannot be read by " + user + ": error." +
                          std::string(errorName(file.error())) + "; the daemon will not start");
        return;
    }
    Config cfg;
    for (const ConfigFinding& f : readConfigText(file.value().view(), cfg))
        report.add(f.line, f.text);

    if ((cfg.socket_mode & S_IWOTH) != 0) {
        report.add(0, "socket_mode = " + octal(cfg.socket_mode) +
                          " lets every local user connect and try keys; 0660 admits only "
                          "the group of the socket's directory");
    }
    if (!cfg.socket.empty()) {
        const std::string socket(cfg.socket);
        if (socket.size() >= platform::kUnixPathCapacity) {
            report.add(0, "socket = " + printable(socket) + " is longer than " +
                              std::to_string(platform::kUnixPathCapacity - 1) + " bytes");
        }
        // The daemon removes a stale socket and binds a new one there.
        (void)checkDirectory(report, "the socket's directory", directoryOf(socket), W_OK | X_OK,
                             "create the socket in");
    }
    if (!cfg.cache_dir.empty()) {
        const std::string dir(cfg.cache_dir);
        if (checkDirectory(report, "cache_dir", dir, R_OK | X_OK, "read and search")) {
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
    const std::string path = configPath != nullptr ? configPath : std::string(kDefaultConfigPath);
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
