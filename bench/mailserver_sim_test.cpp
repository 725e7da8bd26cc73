// The simulator's overload mode against a scripted server: what it counts as
// lost, and that it reconnects exactly once before counting.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/tool_process.h"

namespace {

enum class Act { closeAtAccept, greetAndClose, closeAfterRequest, answer };

// Reads until `lines` line feeds came, the close or 2 s.
std::string readLines(int fd, int lines) {
    std::string in;
    char buf[256];
    pollfd p{fd, POLLIN, 0};
    while (std::count(in.begin(), in.end(), '\n') < lines && ::poll(&p, 1, 2000) > 0) {
        const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        in.append(buf, static_cast<std::size_t>(n));
    }
    return in;
}

// Listens on `path` and serves connection k with acts[min(k, last)], one at a
// time, until `stop`.
void serve(int listener, const std::vector<Act>& acts, const std::atomic<bool>& stop) {
    for (std::size_t k = 0; !stop;) {
        pollfd p{listener, POLLIN, 0};
        const int fd = ::poll(&p, 1, 50) > 0 ? ::accept(listener, nullptr, nullptr) : -1;
        if (fd < 0) continue;
        const Act act = acts[std::min(k++, acts.size() - 1)];
        if (act != Act::closeAtAccept) {
            readLines(fd, 2);  // the handshake
            (void)::send(fd, "VERSION\t1\t2\nMECH\tPLAIN\tplaintext\nDONE\n", 38, MSG_NOSIGNAL);
        }
        if (act == Act::closeAfterRequest || act == Act::answer) {
            const std::string request = readLines(fd, 1);  // "AUTH\tID\t..."
            const std::string reply =
                "OK\t" + request.substr(5, request.find('\t', 5) - 5) + "\tuser=mail\n";
            if (act == Act::answer) (void)::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
        ::close(fd);
    }
}

TEST(MailserverSim, FreshModeCountsEachLossAfterOneReconnect) {
    struct Case {
        const char* name;
        std::vector<Act> acts;  // empty: nobody listens
        int ok;
        int lostAs;  // the index of the loss in the counts; -1 for none
        int reconnects;
        int reclaims = 0;  // closed between the greeting and the AUTH write
        const char* pauseFlag = "--think-ms";
        const char* pauseMs = "0";  // between the greeting and the AUTH write
    };
    const Case cases[] = {
        {"answered", {Act::answer}, 3, -1, 0},
        {"one loss, then answered", {Act::closeAfterRequest, Act::answer}, 3, -1, 1},
        {"nobody listens", {}, 0, 0, 3},
        {"closed at accept", {Act::closeAtAccept}, 0, 1, 3},
        // The pause lets the server's close land before the write, which then
        // fails; without it the write may win the race and count as "after request".
        {"closed after the greeting", {Act::greetAndClose}, 0, 2, 3, 6, "--think-ms", "300"},
        {"closed after the request", {Act::closeAfterRequest}, 0, 3, 3},
        // Held: a close before the AUTH is a reclaim, retried; a written AUTH
        // that meets the close is lost without a retry.
        {"held, reclaimed", {Act::greetAndClose, Act::answer}, 3, -1, 1, 1, "--hold-ms", "300"},
        {"held, lost", {Act::closeAfterRequest, Act::answer}, 2, 3, 0, 0, "--hold-ms", "300"},
    };
    char dir[] = "/tmp/vg-sim-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/s";
    for (const Case& c : cases) {
        const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.data(), path.size());
        if (!c.acts.empty()) {
            ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
            ASSERT_EQ(::listen(listener, 16), 0);
        }
        std::atomic<bool> stop{false};
        std::thread server;
        if (!c.acts.empty())
            server = std::thread(serve, listener, std::cref(c.acts), std::cref(stop));
        // Three AUTHs, one client: the second case loses only the first.
        const vg::test::ToolRun run =
            vg::test::runTool({VG_SIM_PATH, path, "1", "cmVzcA==", "--fresh", "--requests", "3",
                               c.pauseFlag, c.pauseMs});
        stop = true;
        if (server.joinable()) server.join();
        ::close(listener);
        ::unlink(path.c_str());

        const char* kinds[] = {"refused", "closed before greeting", "write failed",
                               "closed after request", "timed out"};
        std::string lost;
        for (int k = 0; k < 5; ++k) {
            lost += (k == 0 ? "" : ", ") + std::to_string(k == c.lostAs ? 3 - c.ok : 0) + " " +
                    kinds[k];
        }
        EXPECT_EQ(run.status, 0) << c.name << ": " << run.err;
        EXPECT_NE(run.out.find("3 of 3 AUTHs sent, " + std::to_string(c.ok) + " OK, 0 FAIL, " +
                               std::to_string(3 - c.ok) + " lost (" + lost + "), " +
                               std::to_string(c.reclaims) + " reclaims met, " +
                               std::to_string(c.reconnects) + " reconnects\n"),
                  std::string::npos)
            << c.name << ": " << run.out;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
