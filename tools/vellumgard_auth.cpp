// vellumgard-auth: asks a running daemon to check one password, as a client would.
//
//   vellumgard-auth [-c CONF] [-s SOCKET] [-u USER] [-t SECONDS] [--] [PASSWORD | -]
//   vellumgard-auth --probe [-c CONF] [-s SOCKET] [-t SECONDS]
//
// Without PASSWORD, or with "-", the password is one line of standard input.
// Prints the daemon's reply line. The socket is -s, else the configuration's
// (-c, or the daemon's default file when it exists). --probe only checks the
// greeting, so the daemon logs no attempt. Exit status: 0 OK (or greeted),
// 1 FAIL, 2 the daemon was not reached or did not answer as expected in time,
// 64 usage error or a configuration file that cannot be used.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "auth/protocol.h"
#include "core/config.h"
#include "log/syscalls.h"
#include "platform/unix_socket.h"
#include "support/config_file.h"
#include "support/failure.h"
#include "support/output.h"
#include "support/password.h"
#include "support/secret.h"

namespace vg::tools {
extern const char* const kProgramName = "vellumgard-auth";
}  // namespace vg::tools

namespace vg::tools {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitFail = 1;
constexpr int kExitUnreachable = 2;
constexpr int kExitUsage = 64;  // as EX_USAGE: a typo in a check must not read as an outage
constexpr long kMaxSeconds = 86400;

constexpr std::string_view kUsage =
    "usage: vellumgard-auth [-c CONF] [-s SOCKET] [-u USER] [-t SECONDS] [--] [PASSWORD | -]\n"
    "       vellumgard-auth --probe [-c CONF] [-s SOCKET] [-t SECONDS]\n";

struct Options {
    std::string socket;  // empty until -s or the configuration gives it
    const char* config = nullptr;
    std::string user;
    long seconds = 5;
    bool probe = false;
    const char* password = nullptr;  // nullptr: read it from standard input
};

Failure usageError(const std::string& why) {
    if (!why.empty()) say(why);
    (void)writeAll(STDERR_FILENO, kUsage);
    return {kExitUsage, ""};
}

// A whole number of seconds from 1 to kMaxSeconds, nothing else.
bool parseSeconds(std::string_view text, long& out) {
    if (text.empty() || text.size() > 5) return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > kMaxSeconds) return false;
    out = value;
    return true;
}

// Fills `opts`; a Failure with status 0 and a message stands for --help.
Failure parseOptions(int argc, char** argv, Options& opts) {
    enum : int { kProbe = 256 };
    static const option longOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"probe", no_argument, nullptr, kProbe},
        {nullptr, 0, nullptr, 0},
    };
    bool socketGiven = false;
    int opt;
    while ((opt = ::getopt_long(argc, argv, "c:s:u:t:h", longOptions, nullptr)) != -1) {
        switch (opt) {
            case 'c': opts.config = optarg; break;
            case 's':
                opts.socket = optarg;
                socketGiven = true;
                break;
            case kProbe: opts.probe = true; break;
            case 'u': opts.user = optarg; break;
            case 't':
                if (!parseSeconds(optarg, opts.seconds)) {
                    return usageError("-t needs a whole number of seconds from 1 to " +
                                      std::to_string(kMaxSeconds) + ", not '" + printable(optarg) +
                                      "'");
                }
                break;
            case 'h': return {0, std::string(kUsage)};
            default: return usageError("");
        }
    }
    if (opts.config != nullptr && *opts.config == '\0') return usageError("-c needs a file name");
    if (opts.probe && (argc > optind || !opts.user.empty())) {
        return usageError("--probe sends no credential: no -u, no PASSWORD");
    }
    if (opts.config != nullptr || !socketGiven) {
        ToolSettings settings;
        if (Failure f = loadToolSettings(opts.config, kExitUsage, settings)) return f;
        if (!socketGiven) opts.socket = settings.socket;
    }
    if (opts.socket.empty()) return usageError("the socket path must not be empty");
    if (opts.socket.size() >= platform::kUnixPathCapacity) {
        return usageError("the socket path is longer than " +
                          std::to_string(platform::kUnixPathCapacity - 1) + " bytes");
    }
    if (argc - optind > 1) return usageError("give at most one PASSWORD");
    if (argc - optind == 1 && std::string_view(argv[optind]) != "-") opts.password = argv[optind];
    return {};
}

int msLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

// Waits for `events` on `fd`; false when the deadline passed first.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int left = msLeft(deadline);
        if (left == 0) return false;
        const int r = ::poll(&p, 1, left);
        if (r > 0) return true;
        if (r == 0 || errno != EINTR) return false;
    }
}

Failure connectFailure(const std::string& path, int err) {
    std::string text = "cannot connect to " + path + ": " + std::strerror(err);
    if (err == EACCES || err == EPERM) {
        text += " (check socket_mode in the daemon's configuration and the socket's group)";
    } else if (err == ENOENT || err == ECONNREFUSED) {
        text += " (is the daemon running?)";
    }
    return {kExitUnreachable, text};
}

// A non-blocking connect, so that the deadline covers it too: a daemon that
// has stopped accepting leaves connect waiting for room in its backlog.
Failure connectBy(const Options& opts, Clock::time_point deadline, sys::UniqueFd& out) {
    auto late = [&] {
        return Failure{kExitUnreachable,
                       "the daemon at " + opts.socket + " did not take the connection within " +
                           std::to_string(opts.seconds) + " s (stopped, or its backlog full?)"};
    };
    for (;;) {
        sys::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd.valid()) return {kExitUnreachable, "socket: " + errnoText()};
        const int flags = ::fcntl(fd.get(), F_GETFL);
        if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
            return {kExitUnreachable, "cannot make the socket non-blocking: " + errnoText()};
        }
        if (platform::connectUnix(fd.get(), opts.socket) == 0) {
            out = std::move(fd);
            return {};
        }
        int err = errno;
        if (err == EINPROGRESS || err == EINTR) {
            if (!waitFor(fd.get(), POLLOUT, deadline)) return late();
            socklen_t len = sizeof(err);
            if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
            if (err == 0) {
                out = std::move(fd);
                return {};
            }
        }
        // Linux refuses at once while the backlog is full, with nothing to
        // wait on: try again until the deadline.
        if (err != EAGAIN) return connectFailure(opts.socket, err);
        if (msLeft(deadline) == 0) return late();
        timespec pause{0, 10'000'000L};  // 10 ms
        ::nanosleep(&pause, nullptr);
    }
}

enum class ReadEnd { done, closed, late };

// Reads until `want` bytes are in (greeting) or a line feed arrives (reply).
ReadEnd readUntil(int fd, std::string& out, std::size_t want, bool toNewline,
                  Clock::time_point deadline) {
    while (toNewline ? out.find('\n') == std::string::npos : out.size() < want) {
        if (!waitFor(fd, POLLIN, deadline)) return ReadEnd::late;
        char buf[1024];
        const std::size_t room = toNewline ? sizeof(buf) : std::min(sizeof(buf), want - out.size());
        const ssize_t n = ::read(fd, buf, room);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return ReadEnd::closed;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return ReadEnd::done;
}

bool sendAll(int fd, std::string_view bytes, Clock::time_point deadline) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            if (!waitFor(fd, POLLOUT, deadline)) return false;
            continue;
        }
        if (n < 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// "AUTH\t1\tPLAIN\t...\tresp={base64 of NUL user NUL password}\n", built
// without a stray copy of the password.
void buildRequest(std::string_view user, std::string_view password, SecretBuffer& request) {
    SecretBuffer message(user.size() + password.size() + 2);
    (void)message.append(std::string_view("\0", 1));
    (void)message.append(user);
    (void)message.append(std::string_view("\0", 1));
    (void)message.append(password);
    constexpr int variant = sodium_base64_VARIANT_ORIGINAL;
    SecretBuffer encoded(sodium_base64_encoded_len(message.view().size(), variant));
    sodium_bin2base64(encoded.data(), encoded.capacity(),
                      reinterpret_cast<const unsigned char*>(message.view().data()),
                      message.view().size(), variant);
    encoded.resize(encoded.capacity() - 1);  // without the terminator
    (void)request.append(kAuthPrefix);
    (void)request.append("1\tPLAIN\tservice=vellumgard-auth\t");
    (void)request.append(kRespPrefix);
    (void)request.append(encoded.view());
    (void)request.append("\n");
}

// Connects and checks the greeting: all a probe does, and the start of a request.
Failure greeted(const Options& opts, Clock::time_point deadline, sys::UniqueFd& sock) {
    if (Failure f = connectBy(opts, deadline, sock)) return f;
    std::string greeting;
    switch (readUntil(sock.get(), greeting, kGreeting.size(), false, deadline)) {
        case ReadEnd::done: break;
        case ReadEnd::closed:
            return {kExitUnreachable,
                    "the daemon closed the connection without a greeting (too many clients?)"};
        case ReadEnd::late: return {kExitUnreachable, "no greeting from the daemon in time"};
    }
    if (greeting != kGreeting) return {kExitUnreachable, "unexpected greeting from " + opts.socket};
    return {};
}

Failure run(int argc, char** argv) {
    Options opts;
    if (Failure f = parseOptions(argc, argv, opts); f || !f.message.empty()) return f;
    if (opts.probe) {
        sys::UniqueFd sock;
        if (Failure f = greeted(opts, Clock::now() + std::chrono::seconds(opts.seconds), sock)) {
            return f;
        }
        if (!writeAll(STDOUT_FILENO, "vellumgard answers on " + opts.socket + "\n")) {
            return {kExitUnreachable, "cannot write to standard output: " + errnoText()};
        }
        return {};
    }
    if (sodium_init() < 0) return {kExitUnreachable, "cannot initialise libsodium"};

    SecretBuffer password(kPasswordInputSize);
    if (opts.password == nullptr) {
        const std::string prompt = std::string(kProgramName) + ": password: ";
        if (Failure f = readPassword(password, prompt, {kExitUsage, kExitUsage})) return f;
    } else {
        const std::string_view given = opts.password;
        if (given.empty()) return usageError("the password must not be empty");
        if (!password.append(given)) return usageError("the password is too long");
        // Narrows the time in which the process list shows it; stdin avoids it altogether.
        sodium_memzero(const_cast<char*>(opts.password), given.size());
    }

    // The deadline covers everything from here: connect, greeting, request, reply.
    const auto deadline = Clock::now() + std::chrono::seconds(opts.seconds);
    sys::UniqueFd sock;
    if (Failure f = greeted(opts, deadline, sock)) return f;

    SecretBuffer request(kAuthPrefix.size() + kRespPrefix.size() + 64 +
                         sodium_base64_encoded_len(opts.user.size() + password.view().size() + 2,
                                                   sodium_base64_VARIANT_ORIGINAL));
    buildRequest(opts.user, password.view(), request);
    if (!sendAll(sock.get(), request.view(), deadline)) {
        return {kExitUnreachable, "cannot send the request: " + errnoText()};
    }

    std::string reply;
    switch (readUntil(sock.get(), reply, 0, true, deadline)) {
        case ReadEnd::done: break;
        case ReadEnd::closed:
            return {kExitUnreachable, "the daemon closed the connection without a reply"};
        case ReadEnd::late: return {kExitUnreachable, "no reply from the daemon in time"};
    }
    reply.resize(reply.find('\n') + 1);
    if (!writeAll(STDOUT_FILENO, reply)) {
        return {kExitUnreachable, "cannot write the reply: " + errnoText()};
    }
    if (std::string_view(reply).starts_with(kOkReplyHead)) return {kExitOk, ""};
    if (std::string_view(reply).starts_with(kFailReplyHead)) return {kExitFail, ""};
    return {kExitUnreachable, "unexpected reply"};
}

}  // namespace
}  // namespace vg::tools

int main(int argc, char** argv) {
    (void)std::signal(SIGPIPE, SIG_IGN);
    return vg::tools::finish(vg::tools::run(argc, argv));
}
