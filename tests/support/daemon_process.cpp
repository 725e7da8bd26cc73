// Test helper: the real daemon as a child process, and a socket client.
#include "support/daemon_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/unix_socket.h"

namespace vg::test {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

std::string daemonPath() {
    return VG_DAEMON_PATH;
}
std::string toolPath(const std::string& name) {
    return std::string(VG_BIN_DIR) + "/" + name;
}

std::string base64(const std::string& bytes) {
    std::string out(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                      bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    out.resize(std::strlen(out.c_str()));
    return out;
}

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : digest) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

std::string plainCredential(const std::string& user, const std::string& password) {
    return base64(std::string("\0", 1) + user + std::string("\0", 1) + password);
}

Client::Client(const std::string& socketPath, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof(addr.sun_path)) return;
    std::memcpy(addr.sun_path, socketPath.data(), socketPath.size());
    for (;;) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
            fd_ = fd;
            return;
        }
        ::close(fd);
        if (Clock::now() >= deadline) return;
        std::this_thread::sleep_for(5ms);
    }
}

Client::~Client() {
    close();
}

Client::Client(Client&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

void Client::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool Client::send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string Client::readBytes(std::size_t count, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    std::string out;
    while (out.size() < count) {
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, msLeft(deadline));
        if (r <= 0) break;
        char buf[4096];
        ssize_t n = ::recv(fd_, buf, std::min(sizeof(buf), count - out.size()), 0);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

std::string Client::readAll(std::chrono::milliseconds timeout, bool* closed) {
    auto deadline = Clock::now() + timeout;
    std::string out;
    if (closed != nullptr) *closed = false;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, msLeft(deadline));
        if (r <= 0) break;
        char buf[4096];
        ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
        if (n <= 0) {
            if (closed != nullptr) *closed = true;
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

bool Client::closedWithin(std::chrono::milliseconds timeout) {
    bool closed = false;
    std::string data = readAll(timeout, &closed);
    return closed && data.empty();
}

Daemon::Daemon() {
    ::mkdir(dir_.file("cache").c_str(), 0755);
    socket_ = dir_.file("vg.sock");
    cacheDir_ = dir_.file("cache");
    stderrPath_ = dir_.file("stderr.log");
}

Daemon::~Daemon() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

void Daemon::writeConfig() const {
    dir_.write("vg.conf",
               "[sasl]\nsocket = " + socket_ + "\ncache_dir = " + cacheDir_ + "\n" + extra_);
}

void Daemon::writeKeys(const std::string& content) const {
    std::ofstream out(cacheDir_ + "/keys", std::ios::binary | std::ios::trunc);
    out << content;
}

void Daemon::replaceKeys(const std::string& content) const {
    std::string tmp = cacheDir_ + "/.keys.new";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << content;
    }
    std::rename(tmp.c_str(), (cacheDir_ + "/keys").c_str());
}

void Daemon::start(std::optional<std::vector<std::string>> args) {
    std::vector<std::string> argv{daemonPath()};
    if (args) {
        argv.insert(argv.end(), args->begin(), args->end());
    } else {
        argv.push_back("-c");
        argv.push_back(configPath());
    }
    int errFd = ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(errFd, 2);
        int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        ::chdir(dir_.path().c_str());
        // Default dispositions, whatever the test runner set.
        for (int s : {SIGPIPE, SIGHUP, SIGTERM, SIGINT}) ::signal(s, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (fdLimit_ > 0) {
            const rlimit lim{static_cast<rlim_t>(fdLimit_), static_cast<rlim_t>(fdLimit_)};
            if (::setrlimit(RLIMIT_NOFILE, &lim) != 0) ::_exit(126);
        }
        if (user_ >= 0) {
            const auto id = static_cast<uid_t>(user_);
            if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0) {
                ::_exit(126);
            }
        }
        // Nothing of the test process but 0, 1 and 2, so the daemon's
        // descriptors are numbered alike on every run.
        ::closefrom(3);
        if (closeStdio_) {
            for (int fd : {0, 1, 2}) ::close(fd);
        }
        std::vector<char*> cargv;
        for (auto& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        ::execv(cargv[0], cargv.data());
        ::_exit(127);
    }
    ::close(errFd);
    pid_ = pid;
    reaped_ = false;
}

bool Daemon::startAndWait(std::chrono::milliseconds timeout) {
    start();
    return waitForLog("info(main): Vellumgard listening on ", timeout) && waitReady(timeout);
}

bool Daemon::waitReady(std::chrono::milliseconds timeout) {
    // The signal handlers are installed when the loop starts; a greeting
    // proves the loop runs, so signals sent from now on are handled.
    Client probe(socket_, timeout);
    return probe.ok() && probe.readBytes(38, timeout).size() == 38;
}

bool Daemon::running() {
    if (pid_ <= 0 || reaped_) return false;
    int status = 0;
    return ::waitpid(pid_, &status, WNOHANG) == 0;
}

void Daemon::signal(int signo) const {
    ::kill(pid_, signo);
}

int Daemon::waitExit(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return -1;
        }
        if (Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            reaped_ = true;
            return -1;
        }
        std::this_thread::sleep_for(2ms);
    }
}

std::string Daemon::log() const {
    std::ifstream in(stderrPath_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int Daemon::closedIdleCount(const std::string& log, int* lines) {
    const std::string head = "warning(main): max connections reached, closed ";
    int total = 0;
    int n = 0;
    for (std::size_t at = log.find(head); at != std::string::npos; at = log.find(head, at + 1)) {
        total += std::atoi(log.c_str() + at + head.size());
        ++n;
    }
    if (lines != nullptr) *lines = n;
    return total;
}

int Daemon::countOf(const std::string& haystack, const std::string& needle) {
    int n = 0;
    for (std::size_t pos = haystack.find(needle); pos != std::string::npos;
         pos = haystack.find(needle, pos + needle.size())) {
        ++n;
    }
    return n;
}

bool Daemon::waitForLog(const std::string& text, std::chrono::milliseconds timeout,
                        int count) const {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (countOf(log(), text) >= count) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
}

std::string Daemon::auth(const std::string& id, const std::string& user,
                         const std::string& password) {
    Client c(socket_);
    if (!c.ok()) return "";
    std::string greeting = c.readBytes(38);
    if (greeting != "VERSION\t1\t2\nMECH\tPLAIN\tplaintext\nDONE\n")
        return "bad greeting: " + greeting;
    c.send("AUTH\t" + id + "\tPLAIN\tservice=smtp\tresp=" + plainCredential(user, password) + "\n");
    return c.readAll();
}

bool readShutdownFailsPeerWrites() {
    return platform::readShutdownEffect().refusesPeerWrites;
}

}  // namespace vg::test
