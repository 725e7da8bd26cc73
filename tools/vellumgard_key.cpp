// vellumgard-key: makes keys-file lines, for a new random key or an existing password.
//
//   vellumgard-key [-o FILE] OWNER           new key: password on stdout, line on stderr
//   vellumgard-key --hash [-o FILE] OWNER    password from stdin, SHA-256 line on stdout
//   vellumgard-key --none [-o FILE] OWNER    password from stdin, line for hash_algorithm = none
//
// With -o the line is added to FILE instead: a new file is written next to it
// and renamed over it, the change the daemon's directory watch reloads on.
// Exit status: 0 done, 1 I/O failure, 2 usage error or input the keys file cannot hold.
#include <sodium.h>

#include <fcntl.h>
#include <getopt.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

namespace {

constexpr int kExitIo = 1;
constexpr int kExitUsage = 2;

constexpr std::size_t kRandomBytes = 32;
// The daemon decodes at most 1024 bytes of PLAIN message, two of them NULs.
constexpr std::size_t kMaxPassword = 1022;
// The reply "OK\t{id}\tuser={owner}\n" must fit the daemon's 512-byte buffer,
// or the client gets no answer at all; 255 leaves room for any sane id.
constexpr std::size_t kMaxOwner = 255;
// The daemon refuses a larger keys file.
constexpr std::size_t kMaxKeysFile = 16777216;

// Fixed storage for secrets: never reallocated, so no stray copy is left, and
// wiped when it goes out of scope.
template <std::size_t N>
struct SecretBuffer {
    char data[N];
    std::size_t len = 0;

    SecretBuffer() = default;
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
    ~SecretBuffer() { sodium_memzero(data, sizeof(data)); }

    bool append(std::string_view bytes) {
        if (bytes.size() > N - len) return false;
        std::memcpy(data + len, bytes.data(), bytes.size());
        len += bytes.size();
        return true;
    }
    std::string_view view() const { return {data, len}; }
};

// Key (at most kMaxPassword), tab, owner (at most kMaxOwner), line feed.
using LineBuffer = SecretBuffer<kMaxPassword + kMaxOwner + 2>;

void say(std::string_view text) {
    std::string msg = "vellumgard-key: ";
    msg.append(text);
    msg += '\n';
    (void)!::write(STDERR_FILENO, msg.data(), msg.size());
}

int usage(int status) {
    const char* text =
        "usage: vellumgard-key [-o FILE] OWNER\n"
        "       vellumgard-key --hash [-o FILE] OWNER < password\n"
        "       vellumgard-key --none [-o FILE] OWNER < password\n";
    int fd = status == 0 ? STDOUT_FILENO : STDERR_FILENO;
    (void)!::write(fd, text, std::strlen(text));
    return status;
}

std::string errnoText() {
    return std::strerror(errno);
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The six bytes the daemon trims from both ends of every keys-file line.
bool isTrimmed(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Empty when the owner fits a keys-file line as it is, otherwise why not.
std::string checkOwner(std::string_view owner) {
    if (owner.empty()) return "the owner must not be empty";
    if (owner.find('\t') != std::string_view::npos) return "the owner must not contain a tab";
    if (owner.find('\n') != std::string_view::npos) return "the owner must not contain a line feed";
    if (isTrimmed(owner.front()) || isTrimmed(owner.back())) {
        return "the owner must not begin or end with white space (the keys file would lose it)";
    }
    if (owner.size() > kMaxOwner) {
        return "the owner is longer than " + std::to_string(kMaxOwner) +
               " bytes (the daemon's reply could not carry it)";
    }
    return {};
}

// Empty when the password can be used as a key, otherwise why not.
std::string checkPassword(std::string_view pw, bool asIs) {
    if (pw.empty()) return "the password is empty";
    if (pw.size() > kMaxPassword) {
        return "the password is longer than " + std::to_string(kMaxPassword) +
               " bytes; the daemon could never accept it";
    }
    if (!asIs) return {};
    // As the key itself it is the first field of a line.
    if (pw.find('\t') != std::string_view::npos)
        return "a password containing a tab cannot be a key";
    if (isTrimmed(pw.front())) return "a password beginning with white space cannot be a key";
    if (pw.front() == '#')
        return "a password beginning with '#' cannot be a key (the line would be a comment)";
    return {};
}

// Turns terminal echo off while a password is typed, and back on afterwards.
class NoEcho {
public:
    NoEcho() {
        if (::isatty(STDIN_FILENO) == 0 || ::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~NoEcho() {
        if (active_) (void)::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;
    bool active() const { return active_; }

private:
    termios saved_{};
    bool active_ = false;
};

// Reads one line from standard input into `pw`, without its LF or CR LF.
// From a terminal the line ends at LF; otherwise everything up to end of
// file is read, and anything after the first line is refused.
std::string readPassword(SecretBuffer<4096>& pw, std::string_view owner) {
    bool tty = ::isatty(STDIN_FILENO) != 0;
    NoEcho noEcho;
    bool prompted = false;
    if (tty && ::isatty(STDERR_FILENO) != 0) {
        std::string prompt = "vellumgard-key: password for " + std::string(owner) + ": ";
        prompted = writeAll(STDERR_FILENO, prompt);
    }
    std::string problem;
    for (;;) {
        if (pw.len == sizeof(pw.data)) {
            problem = "the password is longer than " + std::to_string(kMaxPassword) +
                      " bytes; the daemon could never accept it";
            break;
        }
        ssize_t n = ::read(STDIN_FILENO, pw.data + pw.len, sizeof(pw.data) - pw.len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            problem = "cannot read the password from standard input: " + errnoText();
            break;
        }
        if (n == 0) break;
        pw.len += static_cast<std::size_t>(n);
        if (tty && std::memchr(pw.data, '\n', pw.len) != nullptr) break;
    }
    if (prompted) (void)writeAll(STDERR_FILENO, "\n");
    if (!problem.empty()) return problem;
    const char* lf = static_cast<const char*>(std::memchr(pw.data, '\n', pw.len));
    if (lf != nullptr) {
        if (static_cast<std::size_t>(lf - pw.data) + 1 != pw.len) {
            return "standard input holds more than one line; give the password alone";
        }
        --pw.len;
        if (pw.len > 0 && pw.data[pw.len - 1] == '\r') --pw.len;
    }
    return {};
}

// Closes a descriptor when it goes out of scope.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Holds an exclusive lock on the directory so that two runs do not both copy
// the old file and the second rename drop the first one's line.
std::string lockDirectory(int dirFd, const std::string& dir) {
    for (int tries = 0;; ++tries) {
        if (::flock(dirFd, LOCK_EX | LOCK_NB) == 0) return {};
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return {};  // no locking here: carry on unlocked
        if (tries >= 100) return "another vellumgard-key is still updating a file in " + dir;
        timespec pause{0, 100000000L};  // 0.1 s
        ::nanosleep(&pause, nullptr);
    }
}

// Adds `line` to the file at `path` by writing a complete new file in the
// same directory and renaming it over the old one. Empty on success.
std::string addLine(const std::string& path, std::string_view line) {
    if (path.empty() || path.back() == '/') return "-o needs the path of a file: " + path;
    std::size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base == "." || base == "..") return "-o needs the path of a file: " + path;

    Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.fd < 0) return "cannot open the directory " + dir + ": " + errnoText();
    if (std::string problem = lockDirectory(dirFd.fd, dir); !problem.empty()) return problem;

    struct stat old {};
    bool exists = true;
    if (::fstatat(dirFd.fd, base.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return "cannot examine " + path + ": " + errnoText();
        exists = false;
    } else if (S_ISLNK(old.st_mode)) {
        // Renaming over a link would replace the link, not the file it names.
        return path + " is a symbolic link; give the path of the file itself";
    } else if (!S_ISREG(old.st_mode)) {
        return path + " is not a regular file";
    }
    Fd oldFd;
    if (exists) {
        oldFd.fd = ::openat(dirFd.fd, base.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (oldFd.fd < 0) return "cannot read " + path + ": " + errnoText();
        if (::fstat(oldFd.fd, &old) != 0) return "cannot examine " + path + ": " + errnoText();
    }

    // A hidden name the daemon never reads; O_EXCL makes it ours alone.
    std::string tmpName;
    Fd tmp;
    for (int tries = 0; tmp.fd < 0; ++tries) {
        char suffix[17];
        unsigned char raw[8];
        randombytes_buf(raw, sizeof(raw));
        sodium_bin2hex(suffix, sizeof(suffix), raw, sizeof(raw));
        tmpName = "." + base + "." + suffix;
        tmp.fd = ::openat(dirFd.fd, tmpName.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (tmp.fd < 0 && (errno != EEXIST || tries >= 10)) {
            return "cannot create a new file in " + dir + ": " + errnoText();
        }
    }
    std::string tmpPath = dir + "/" + tmpName;

    auto abandon = [&](const std::string& problem) {
        tmp.reset();
        (void)::unlinkat(dirFd.fd, tmpName.c_str(), 0);
        return problem + "; " + path + " is unchanged";
    };

    // The new file takes the old one's owner, group and mode, so the daemon
    // can still read it; a new one gets 0640 whatever the umask says.
    mode_t mode = exists ? (old.st_mode & 07777) : 0640;
    if (exists) {
        struct stat mine {};
        if (::fstat(tmp.fd, &mine) != 0)
            return abandon("cannot examine " + tmpPath + ": " + errnoText());
        if ((mine.st_uid != old.st_uid || mine.st_gid != old.st_gid) &&
            ::fchown(tmp.fd, old.st_uid, old.st_gid) != 0) {
            return abandon("cannot give the new file the owner and group of " + path + " (" +
                           std::to_string(old.st_uid) + ":" + std::to_string(old.st_gid) +
                           "): " + errnoText());
        }
    }
    if (::fchmod(tmp.fd, mode) != 0)
        return abandon("cannot set the mode of " + tmpPath + ": " + errnoText());

    // With hash_algorithm = none the file holds passwords: the copy buffer is a secret too.
    SecretBuffer<65536> chunk;
    std::size_t total = 0;
    char last = '\n';
    while (oldFd.fd >= 0) {
        ssize_t n = ::read(oldFd.fd, chunk.data, sizeof(chunk.data));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return abandon("cannot read " + path + ": " + errnoText());
        if (n == 0) break;
        total += static_cast<std::size_t>(n);
        if (total > kMaxKeysFile) break;
        last = chunk.data[n - 1];
        if (!writeAll(tmp.fd, {chunk.data, static_cast<std::size_t>(n)})) {
            return abandon("cannot write " + tmpPath + ": " + errnoText());
        }
    }
    // A last line without its line feed would otherwise swallow the new line.
    bool addFeed = last != '\n';
    if (total + (addFeed ? 1 : 0) + line.size() > kMaxKeysFile) {
        return abandon(path + " would grow beyond the daemon's limit of 16 MiB");
    }
    if (addFeed && !writeAll(tmp.fd, "\n"))
        return abandon("cannot write " + tmpPath + ": " + errnoText());
    if (!writeAll(tmp.fd, line)) return abandon("cannot write " + tmpPath + ": " + errnoText());
    if (::fsync(tmp.fd) != 0) return abandon("cannot flush " + tmpPath + ": " + errnoText());
    if (::close(tmp.fd) != 0) {
        tmp.fd = -1;
        return abandon("cannot write " + tmpPath + ": " + errnoText());
    }
    tmp.fd = -1;

    // Someone who does not take the lock (an editor) may have changed the
    // file meanwhile; renaming would silently drop that change.
    struct stat now {};
    bool stillThere = ::fstatat(dirFd.fd, base.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
    if (stillThere != exists || (exists && !sameFile(old, now))) {
        return abandon(path + " changed while the new line was being added; try again");
    }
    if (::renameat(dirFd.fd, tmpName.c_str(), dirFd.fd, base.c_str()) != 0) {
        return abandon("cannot rename " + tmpPath + " to " + path + ": " + errnoText());
    }
    // The rename is done; a failed flush of the directory only risks it on a crash.
    if (::fsync(dirFd.fd) != 0)
        say("warning: cannot flush the directory " + dir + ": " + errnoText());
    return {};
}

void appendHex(LineBuffer& line, std::string_view password) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(password.data()),
                       password.size());
    char hex[crypto_hash_sha256_BYTES * 2 + 1];
    sodium_bin2hex(hex, sizeof(hex), digest, sizeof(digest));
    line.append({hex, crypto_hash_sha256_BYTES * 2});
    sodium_memzero(digest, sizeof(digest));
    sodium_memzero(hex, sizeof(hex));
}

enum class Mode { generate, hash, none };

}  // namespace

int main(int argc, char** argv) {
    // A closed output pipe is then a write error we report, not a silent death.
    (void)std::signal(SIGPIPE, SIG_IGN);

    Mode mode = Mode::generate;
    std::string outFile;
    bool haveOut = false;
    static const option longOptions[] = {
        {"hash", no_argument, nullptr, 'H'},
        {"none", no_argument, nullptr, 'N'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int opt;
    while ((opt = ::getopt_long(argc, argv, "ho:", longOptions, nullptr)) != -1) {
        switch (opt) {
            case 'o':
                outFile = optarg;
                haveOut = true;
                break;
            case 'H':
            case 'N': {
                Mode chosen = opt == 'H' ? Mode::hash : Mode::none;
                if (mode != Mode::generate && mode != chosen) {
                    say("--hash and --none exclude each other");
                    return usage(kExitUsage);
                }
                mode = chosen;
                break;
            }
            case 'h': return usage(0);
            default: return usage(kExitUsage);
        }
    }
    if (optind != argc - 1) return usage(kExitUsage);
    if (haveOut && outFile.empty()) {
        say("-o needs a file name");
        return kExitUsage;
    }
    std::string_view owner = argv[optind];
    if (std::string problem = checkOwner(owner); !problem.empty()) {
        say(problem);
        return kExitUsage;
    }
    if (sodium_init() < 0) {
        say("cannot initialise libsodium");
        return kExitIo;
    }

    // The password: 32 random bytes in URL-safe base64 without padding (43
    // characters, safe in a PLAIN password field and in copy and paste), or one line of stdin.
    SecretBuffer<4096> password;
    if (mode == Mode::generate) {
        unsigned char raw[kRandomBytes];
        randombytes_buf(raw, sizeof(raw));
        constexpr int variant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
        sodium_bin2base64(password.data, sizeof(password.data), raw, sizeof(raw), variant);
        sodium_memzero(raw, sizeof(raw));
        password.len = sodium_base64_ENCODED_LEN(kRandomBytes, variant) - 1;
    } else {
        if (std::string problem = readPassword(password, owner); !problem.empty()) {
            say(problem);
            return problem.rfind("cannot read", 0) == 0 ? kExitIo : kExitUsage;
        }
        if (std::string problem = checkPassword(password.view(), mode == Mode::none);
            !problem.empty()) {
            say(problem);
            return kExitUsage;
        }
    }

    LineBuffer line;
    if (mode == Mode::none) {
        line.append(password.view());
    } else {
        appendHex(line, password.view());
    }
    line.append("\t");
    line.append(owner);
    line.append("\n");

    if (mode == Mode::generate) {
        // Shown first: if it cannot be shown, no key without a known password is added.
        SecretBuffer<64> shown;
        shown.append(password.view());
        shown.append("\n");
        if (!writeAll(STDOUT_FILENO, shown.view())) {
            say("cannot write the password to standard output: " + errnoText() +
                "; no key was added");
            return kExitIo;
        }
    }
    if (haveOut) {
        if (std::string problem = addLine(outFile, line.view()); !problem.empty()) {
            say(problem);
            if (mode == Mode::generate) say("the password printed above is NOT valid");
            return kExitIo;
        }
        say("added a key for " + std::string(owner) + " to " + outFile);
        return 0;
    }
    // Without -o: a new key's line goes to stderr, apart from the password;
    // the line for a given password is the one result, on stdout.
    int fd = mode == Mode::generate ? STDERR_FILENO : STDOUT_FILENO;
    if (!writeAll(fd, line.view())) {
        say("cannot write the key line: " + errnoText());
        return kExitIo;
    }
    return 0;
}
