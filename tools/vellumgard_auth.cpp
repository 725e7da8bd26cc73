// vellumgard-auth: asks a running daemon to check one password, as a client would.
//
//   vellumgard-auth [-s SOCKET] [-u USER] [-t SECONDS] PASSWORD
//
// Prints the daemon's reply line. Exit status: 0 OK, 1 FAIL, 2 when the
// daemon could not be reached or did not answer as expected.
#include <poll.h>
#include <sodium.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char* kDefaultSocket = "/var/run/vellumgard.sock";
constexpr const char* kGreeting = "VERSION\t1\t2\nMECH\tPLAIN\tplaintext\nDONE\n";

int usage() {
    std::fprintf(stderr, "usage: vellumgard-auth [-s SOCKET] [-u USER] [-t SECONDS] PASSWORD\n");
    return 2;
}

int fail(const std::string& what) {
    std::fprintf(stderr, "vellumgard-auth: %s\n", what.c_str());
    return 2;
}

class Socket {
public:
    ~Socket() {
        if (fd >= 0) ::close(fd);
    }
    int fd = -1;
};

// Reads until `want` is complete (greeting) or a line feed arrives (reply).
bool readUntil(int fd, std::string& out, std::size_t want, bool toNewline,
               std::chrono::steady_clock::time_point deadline, bool& closed) {
    closed = false;
    while (toNewline ? out.find('\n') == std::string::npos : out.size() < want) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char buf[1024];
        std::size_t room = toNewline ? sizeof(buf) : std::min(sizeof(buf), want - out.size());
        ssize_t n = ::read(fd, buf, room);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            closed = true;
            return false;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath = kDefaultSocket;
    std::string user;
    long seconds = 5;
    int opt;
    while ((opt = ::getopt(argc, argv, "s:u:t:h")) != -1) {
        switch (opt) {
            case 's': socketPath = optarg; break;
            case 'u': user = optarg; break;
            case 't': seconds = std::strtol(optarg, nullptr, 10); break;
            default: return usage();
        }
    }
    if (optind != argc - 1 || seconds <= 0) return usage();
    std::string password = argv[optind];
    if (password.empty()) return fail("the password must not be empty");
    if (sodium_init() < 0) return fail("cannot initialise libsodium");

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof(addr.sun_path))
        return fail("socket path too long: " + socketPath);
    std::memcpy(addr.sun_path, socketPath.data(), socketPath.size());

    Socket sock;
    sock.fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (sock.fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
    if (::connect(sock.fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        return fail("cannot connect to " + socketPath + ": " + std::strerror(errno) +
                    " (is the daemon running?)");
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);

    std::string greeting;
    bool closed = false;
    if (!readUntil(sock.fd, greeting, std::strlen(kGreeting), false, deadline, closed)) {
        return fail(closed
                        ? "the daemon closed the connection without a greeting (too many clients?)"
                        : "no greeting from the daemon in time");
    }
    if (greeting != kGreeting) return fail("unexpected greeting from " + socketPath);

    std::string message;
    message += '\0';
    message += user;
    message += '\0';
    message += password;
    std::string encoded(sodium_base64_encoded_len(message.size(), sodium_base64_VARIANT_ORIGINAL),
                        '\0');
    sodium_bin2base64(encoded.data(), encoded.size(),
                      reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    encoded.resize(std::strlen(encoded.c_str()));
    sodium_memzero(message.data(), message.size());
    std::string request = "AUTH\t1\tPLAIN\tservice=vellumgard-auth\tresp=" + encoded + "\n";
    sodium_memzero(encoded.data(), encoded.size());
    ssize_t sent = ::send(sock.fd, request.data(), request.size(), MSG_NOSIGNAL);
    sodium_memzero(request.data(), request.size());
    sodium_memzero(password.data(), password.size());
    if (sent != static_cast<ssize_t>(request.size())) return fail("cannot send the request");

    std::string reply;
    if (!readUntil(sock.fd, reply, 0, true, deadline, closed)) {
        return fail(closed ? "the daemon closed the connection without a reply"
                           : "no reply from the daemon in time");
    }
    reply.resize(reply.find('\n') + 1);
    std::fputs(reply.c_str(), stdout);
    if (reply.rfind("OK\t", 0) == 0) return 0;
    if (reply.rfind("FAIL\t", 0) == 0) return 1;
    return fail("unexpected reply");
}
