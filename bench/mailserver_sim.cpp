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
// With --fresh the N processes are all in flight at once and each AUTH takes
// a fresh connection: connect, two handshake lines, the greeting, --think-ms
// of work, one AUTH, the reply. More processes than the daemon's 64 slots is
// the overload case. When the daemon closes (or refuses) the connection
// before the reply, the process connects once more and retries, as Postfix
// does; a second loss is a lost AUTH, counted by what the second attempt met.
// The run stops after R AUTHs in all (--requests, default 12000).
//
// With --hold-ms H as well, each process holds its fresh connection H ms
// after the greeting before the AUTH, as a mail server process does between
// its client's EHLO and AUTH. Above 64 in flight the daemon then has to take
// held connections for new clients once they have been idle long enough.
// A process whose held connection was closed before it wrote the AUTH
// connects once more and sends the AUTH right after the greeting; one whose
// AUTH was written and then met the close or no reply has lost it, with no
// retry: the mail server cannot know whether it was answered.
//
// "Reclaims met" counts connections closed after the greeting and before the
// AUTH was written: the daemon took them for a new client.
//
//   mailserver-sim SOCKET N RESP [--rounds R] [--concurrency C] [--seconds S]
//   mailserver-sim SOCKET N RESP --fresh [--requests R] [--think-ms T | --hold-ms H]
//                  [--seconds S]
//
// RESP is the base64 PLAIN credential that every AUTH carries.
//
// Bounded: every wait has a 2 s limit and no AUTH starts after S seconds
// (default 60). Prints one line of counts.
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <latch>
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
    bool fresh = false;
    int requests = 12000;
    int thinkMs = 0;
    int holdMs = 0;  // 0: not held
};

struct Counts {
    std::atomic<int> ok{0}, fail{0}, lost{0}, died{0}, reconnects{0}, unfinished{0};
};

// Reads until `want` bytes, a line feed (when `untilNewline`), the close or the
// time limit; `timedOut` tells the last from the others.
std::string readSome(int fd, std::size_t want, bool untilNewline, bool* timedOut = nullptr) {
    if (timedOut != nullptr) *timedOut = false;
    std::string out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (out.size() < want) {
        if (untilNewline && out.find('\n') != std::string::npos) break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
            if (timedOut != nullptr) *timedOut = true;
            break;
        }
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

// What an attempt on a fresh connection met, when it got no reply.
enum Loss : std::size_t {
    kRefused,         // connect failed at once: no listener, or the queue turned it away
    kBeforeGreeting,  // closed before the whole greeting came
    kWriteFailed,     // greeted, then the AUTH write failed: closed in between
    kAfterRequest,    // the AUTH written, then the close instead of a reply
    kTimedOut,        // 2 s without the connect, the greeting or the reply
    kLossKinds
};
constexpr std::array<const char*, kLossKinds> kLossNames = {
    "refused", "closed before greeting", "write failed", "closed after request", "timed out"};

struct FreshCounts {
    std::atomic<int> sent{0}, ok{0}, fail{0}, reconnects{0}, reclaims{0};
    std::array<std::atomic<int>, kLossKinds> lost{};
};

// One connection, `pauseMs` after the greeting, one AUTH. Sets `loss` and
// returns false when no reply came; `written` tells whether the AUTH was sent.
bool freshAttempt(const Options& o, int number, int pauseMs, const std::string& request,
                  std::string& reply, Loss& loss, bool& written) {
    written = false;
    struct Fd {
        int fd;
        ~Fd() {
            if (fd >= 0) ::close(fd);
        }
    } s{::socket(AF_UNIX, SOCK_STREAM, 0)};
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (s.fd < 0 || o.socket.size() >= sizeof(addr.sun_path)) {
        loss = kRefused;
        return false;
    }
    std::memcpy(addr.sun_path, o.socket.data(), o.socket.size());
    // Bounds a connect that waits on a full listen queue, and the writes.
    const timeval limit{kWaitMs / 1000, 0};
    (void)::setsockopt(s.fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    if (::connect(s.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        loss = errno == EAGAIN || errno == ETIMEDOUT ? kTimedOut : kRefused;
        return false;
    }
    bool timedOut = false;
    if (!sendAll(s.fd, "VERSION\t1\t2\nCPID\t" + std::to_string(10000 + number) + "\n") ||
        readSome(s.fd, kGreetingSize, false, &timedOut).size() != kGreetingSize) {
        loss = timedOut ? kTimedOut : kBeforeGreeting;
        return false;
    }
    if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    if (!sendAll(s.fd, request)) {
        loss = errno == EAGAIN ? kTimedOut : kWriteFailed;
        return false;
    }
    written = true;
    reply = readSome(s.fd, 512, true, &timedOut);
    if (reply.starts_with("OK\t") || reply.starts_with("FAIL\t")) return true;
    loss = timedOut ? kTimedOut : kAfterRequest;
    return false;
}

int runFresh(const Options& o) {
    const auto stopAt = Clock::now() + std::chrono::seconds(o.seconds);
    const bool held = o.holdMs > 0;
    FreshCounts counts;
    std::latch ready(o.processes);  // all in flight from the first AUTH on
    auto process = [&](int number) {
        ready.arrive_and_wait();
        while (Clock::now() < stopAt) {
            const int id = ++counts.sent;
            if (id > o.requests) {
                --counts.sent;
                break;
            }
            const std::string request =
                "AUTH\t" + std::to_string(id) + "\tPLAIN\tservice=smtp\tresp=" + o.resp + "\n";
            std::string reply;
            Loss loss = kRefused;
            bool written = false;
            auto attempt = [&](int pauseMs) {
                const bool answered =
                    freshAttempt(o, number, pauseMs, request, reply, loss, written);
                if (!answered && loss == kWriteFailed) ++counts.reclaims;
                return answered;
            };
            bool answered = attempt(held ? o.holdMs : o.thinkMs);
            if (!answered && !(held && written)) {
                ++counts.reconnects;
                answered = attempt(o.thinkMs);
            }
            if (!answered) {
                ++counts.lost[loss];
            } else if (reply.starts_with("OK\t")) {
                ++counts.ok;
            } else {
                ++counts.fail;
            }
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(o.processes));
    for (int i = 0; i < o.processes; ++i) threads.emplace_back(process, i);
    for (std::thread& t : threads) t.join();

    int lost = 0;
    std::string why;
    for (std::size_t k = 0; k < kLossKinds; ++k) {
        lost += counts.lost[k].load();
        why += (k == 0 ? "" : ", ") + std::to_string(counts.lost[k].load()) + " " + kLossNames[k];
    }
    std::printf(
        "fresh, in flight %d, %s %d ms: %d of %d AUTHs sent, %d OK, %d FAIL, %d lost (%s), "
        "%d reclaims met, %d reconnects\n",
        o.processes, held ? "hold" : "think", held ? o.holdMs : o.thinkMs, counts.sent.load(),
        o.requests, counts.ok.load(), counts.fail.load(), lost, why.c_str(), counts.reclaims.load(),
        counts.reconnects.load());
    return 0;
}

// A whole number from `least` to 100000; -1 for anything else.
int number(const char* text, int least) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && value >= least && value <= 100000
               ? static_cast<int>(value)
               : -1;
}

bool parse(int argc, char** argv, Options& o) {
    if (argc < 4) return false;
    o.socket = argv[1];
    o.processes = number(argv[2], 1);
    o.resp = argv[3];
    bool heldFlags = false, freshFlags = false;
    for (int i = 4; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--fresh") {
            o.fresh = true;
            continue;
        }
        if (i + 1 == argc) return false;
        const char* value = argv[++i];
        if (flag == "--rounds") {
            o.rounds = number(value, 1);
            heldFlags = true;
        } else if (flag == "--concurrency") {
            o.concurrency = number(value, 1);
            heldFlags = true;
        } else if (flag == "--requests") {
            o.requests = number(value, 1);
            freshFlags = true;
        } else if (flag == "--think-ms") {
            o.thinkMs = number(value, 0);
            freshFlags = true;
        } else if (flag == "--hold-ms") {
            o.holdMs = number(value, 1);
            freshFlags = true;
        } else if (flag == "--seconds") {
            o.seconds = number(value, 1);
        } else {
            return false;
        }
    }
    if (o.fresh ? heldFlags : freshFlags) return false;
    // Held, the pause before the AUTH is the hold; the reconnect sends at once.
    if (o.holdMs != 0 && o.thinkMs != 0) return false;
    return o.processes > 0 && o.rounds > 0 && o.concurrency > 0 && o.seconds > 0 &&
           o.requests > 0 && o.thinkMs >= 0 && o.holdMs >= 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        (void)std::fprintf(stderr,
                           "usage: mailserver-sim SOCKET N RESP [--rounds R] "
                           "[--concurrency C] [--seconds S]\n"
                           "       mailserver-sim SOCKET N RESP --fresh [--requests R] "
                           "[--think-ms T | --hold-ms H] [--seconds S]\n");
        return 2;
    }
    (void)std::signal(SIGPIPE, SIG_IGN);
    if (o.fresh) return runFresh(o);
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
