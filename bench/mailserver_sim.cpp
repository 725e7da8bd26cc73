// Plays N mail-server processes against the daemon's socket with raw clients,
// the way a mail server that delegates SMTP AUTH uses it: each process
// connects when it starts, sends two handshake lines, reads the greeting and
// holds the connection idle; later it sends one AUTH on that connection. A
// process that gets no greeting at start has no mechanism to offer and dies.
// A write that fails means the daemon closed the connection: the process
// connects once more and retries. A write that succeeds but meets the close
// instead of a reply is a lost request (the mail server then answers its
// client with a temporary failure and does not retry). With --rounds R > 1
// each process sends R - 1 more AUTHs, each right after the previous reply,
// on the connection it already has, as a busy process reuses it.
//
//   mailserver-sim SOCKET N RESP [--rounds R] [--concurrency C] [--seconds S]
//
// RESP is the base64 PLAIN credential that every AUTH carries.
//
// Bounded: every wait has a 2 s limit and no AUTH starts after S seconds
// (default 60). Prints one line of counts.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWaitMs = 2000;
constexpr std::size_t kGreetingSize = 38;

struct Options {
    std::string socket;
    int processes = 0;
    int rounds = 1;
    int concurrency = 1;
    std::string resp;
    int seconds = 60;
};

struct Counts {
    std::atomic<int> ok{0}, fail{0}, lost{0}, died{0}, reconnects{0}, unfinished{0};
};

// Reads until `want` bytes, a line feed (when `untilNewline`), the close or the
// time limit.
std::string readSome(int fd, std::size_t want, bool untilNewline) {
    std::string out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (out.size() < want) {
        if (untilNewline && out.find('\n') != std::string::npos) break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buf[512];
        const ssize_t n = ::recv(fd, buf, std::min(sizeof(buf), want - out.size()), 0);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

bool sendAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

class Process {
public:
    Process(const Options& o, int number) : options_(o), number_(number) {}
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    Process(Process&& other) noexcept
        : options_(other.options_), number_(other.number_), fd_(other.fd_) {
        other.fd_ = -1;
    }
    ~Process() { drop(); }

    // Connect, two handshake lines, the greeting. False when none came.
    bool start() {
        drop();
        fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (fd_ < 0 || options_.socket.size() >= sizeof(addr.sun_path)) return false;
        std::memcpy(addr.sun_path, options_.socket.data(), options_.socket.size());
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
            return false;
        }
        sendAll(fd_, "VERSION\t1\t2\nCPID\t" + std::to_string(10000 + number_) + "\n");
        return readSome(fd_, kGreetingSize, false).size() == kGreetingSize;
    }

    // One AUTH on the held connection, with one reconnect when the write fails.
    void auth(const std::string& request, Counts& counts) {
        bool written = fd_ >= 0 && sendAll(fd_, request);
        if (!written) {
            ++counts.reconnects;
            written = start() && sendAll(fd_, request);
        }
        const std::string reply = written ? readSome(fd_, 512, true) : std::string();
        if (reply.starts_with("OK\t")) {
            ++counts.ok;
        } else if (reply.starts_with("FAIL\t")) {
            ++counts.fail;
        } else {
            ++counts.lost;
        }
    }

private:
    void drop() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    const Options& options_;
    int number_;
    int fd_ = -1;
};

// A count from 1 to 100000; 0 for anything else.
int count(const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && value > 0 && value <= 100000 ? static_cast<int>(value)
                                                                         : 0;
}

bool parse(int argc, char** argv, Options& o) {
    if (argc < 4 || (argc - 4) % 2 != 0) return false;
    o.socket = argv[1];
    o.processes = count(argv[2]);
    o.resp = argv[3];
    for (int i = 4; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const int value = count(argv[i + 1]);
        if (flag == "--rounds") {
            o.rounds = value;
        } else if (flag == "--concurrency") {
            o.concurrency = value;
        } else if (flag == "--seconds") {
            o.seconds = value;
        } else {
            return false;
        }
    }
    return o.processes > 0 && o.rounds > 0 && o.concurrency > 0 && o.seconds > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        (void)std::fprintf(stderr,
                           "usage: mailserver-sim SOCKET N RESP [--rounds R] "
                           "[--concurrency C] [--seconds S]\n");
        return 2;
    }
    (void)std::signal(SIGPIPE, SIG_IGN);
    const auto stopAt = Clock::now() + std::chrono::seconds(o.seconds);
    Counts counts;

    std::vector<Process> processes;
    std::vector<bool> alive;
    processes.reserve(static_cast<std::size_t>(o.processes));
    for (int i = 0; i < o.processes; ++i) {
        processes.emplace_back(o, i);
        alive.push_back(processes.back().start());
        if (!alive.back()) ++counts.died;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // held idle

    std::atomic<int> next{0};
    auto worker = [&] {
        for (int i; (i = next++) < o.processes;) {
            if (!alive[static_cast<std::size_t>(i)]) continue;
            for (int r = 0; r < o.rounds; ++r) {
                if (Clock::now() >= stopAt) {
                    counts.unfinished += o.rounds - r;
                    break;
                }
                const std::string id = std::to_string(i * o.rounds + r + 1);
                processes[static_cast<std::size_t>(i)].auth(
                    "AUTH\t" + id + "\tPLAIN\tservice=smtp\tresp=" + o.resp + "\n", counts);
            }
        }
    };
    std::vector<std::thread> workers;
    workers.reserve(static_cast<std::size_t>(o.concurrency));
    for (int w = 0; w < o.concurrency; ++w) workers.emplace_back(worker);
    for (std::thread& w : workers) w.join();

    std::printf(
        "processes %d, rounds %d, concurrency %d: %d AUTH OK, %d FAIL, %d lost, %d died at start "
        "(%d AUTHs never sent), %d reconnects, %d unfinished\n",
        o.processes, o.rounds, o.concurrency, counts.ok.load(), counts.fail.load(),
        counts.lost.load(), counts.died.load(), counts.died.load() * o.rounds,
        counts.reconnects.load(), counts.unfinished.load());
    return 0;
}
