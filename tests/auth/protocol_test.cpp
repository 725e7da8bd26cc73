// The connection line protocol over real socket pairs: framing, AUTH field
// split, replies and their size limit, repeated reads, and wiping of the input.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "auth/plain.h"
#include "auth/protocol.h"
#include "keycache/key_cache.h"
#include "support/capture_stderr.h"
#include "support/daemon_process.h"

namespace vg {
namespace {

using namespace std::string_literals;
using test::base64;
using test::CaptureStderr;
using test::sha256Hex;
using test::TempDir;

const std::string kGood = base64("\0alice\0secret-pw"s);
const std::string kOk = "OK\t7\tuser=alice\n";

bool allZero(const char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

// A connected pair: the test writes on `client`, the slot reads `daemon`.
class Connection {
public:
    Connection() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
        client_ = fds[0];
        daemon_ = fds[1];
        ::fcntl(daemon_, F_SETFL, ::fcntl(daemon_, F_GETFL) | O_NONBLOCK);
        slot = std::make_unique<ConnectionSlot>();
        slot->fd = daemon_;
        slot->state = ConnectionState::open;
    }
    ~Connection() {
        if (client_ >= 0) ::close(client_);
        closeDaemon();
    }

    void send(const std::string& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(client_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) throw std::runtime_error("write");
            done += static_cast<std::size_t>(n);
        }
    }
    void shutdownClientWrite() const { ::shutdown(client_, SHUT_WR); }
    void closeDaemon() {
        if (daemon_ >= 0) ::close(daemon_);
        daemon_ = -1;
    }

    // Everything the daemon end wrote, up to its close (after at most 2 s).
    std::string replyUntilClose() {
        closeDaemon();
        std::string out;
        for (;;) {
            pollfd p{client_, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0) break;
            char buf[1024];
            ssize_t n = ::read(client_, buf, sizeof(buf));
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }
    // errno of one more byte written by the client, 0 when it was taken.
    int clientWriteError() const { return ::send(client_, "x", 1, MSG_NOSIGNAL) == 1 ? 0 : errno; }
    // True when something is waiting for the client right now.
    bool replyPending() const {
        char byte;
        return ::recv(client_, &byte, 1, MSG_DONTWAIT | MSG_PEEK) > 0;
    }

    std::unique_ptr<ConnectionSlot> slot;

private:
    int client_ = -1;
    int daemon_ = -1;
};

class ProtocolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);
        ASSERT_TRUE(initCrypto());
        dir_.write("keys", sha256Hex("secret-pw") + "\talice\n");
        CaptureStderr quiet;
        cache_.init(dir_.path(), HashAlgorithm::sha256);
        ASSERT_TRUE(cache_.reload().ok());
    }
    void TearDown() override { cache_.deinit(); }

    // The slot's invariant: nothing at or beyond `fill` but zeros, and no
    // input left at all once the connection is finished.
    static void expectWiped(const ConnectionSlot& slot) {
        ASSERT_LE(slot.fill, kSlotBufferSize);
        EXPECT_TRUE(allZero(slot.buffer + slot.fill, kSlotBufferSize - slot.fill));
        if (slot.state == ConnectionState::closing) {
            EXPECT_EQ(slot.fill, 0u);
        }
    }

    TempDir dir_;
    KeyCache cache_;
};

struct Case {
    const char* name;
    std::string input;
    std::optional<std::string> reply;  // nullopt: nothing at all is written
    ConnectionState state;
};

TEST_F(ProtocolTest, OneWriteThenOneEvent) {
    const std::string id486(486, 'i');
    const std::string longParam(4095 - ("AUTH\t7\tPLAIN\tresp=" + kGood + "\tx=").size(), 'p');
    const auto open = ConnectionState::open;
    const auto closing = ConnectionState::closing;
    const std::vector<Case> cases = {
        {"plain request", "AUTH\t7\tPLAIN\tresp=" + kGood + "\n", kOk, closing},
        {"handshake lines dropped",
         "VERSION\t1\t2\nCPID\t4242\n\nAUTH\t7\tPLAIN\tservice=imap\tresp=" + kGood + "\n", kOk,
         closing},
        {"lower-case auth dropped", "auth\t7\tPLAIN\tresp=" + kGood + "\n", std::nullopt, open},
        {"AUTH without tab dropped", "AUTH\nAUTH 7 PLAIN\n", std::nullopt, open},
        {"partial line waits", "AUTH\t7\tPLAIN\tresp=", std::nullopt, open},
        {"AUTH tab alone", "AUTH\t\n", "FAIL\t\treason=no mechanism\n", closing},
        {"id without further tab", "AUTH\t42\n", "FAIL\t42\treason=no mechanism\n", closing},
        {"empty mechanism", "AUTH\t5\t\tresp=" + kGood + "\n",
         "FAIL\t5\treason=unsupported mechanism\n", closing},
        {"lower-case mechanism", "AUTH\t7\tplain\tresp=" + kGood + "\n", kOk, closing},
        {"mixed-case mechanism", "AUTH\t7\tPlAiN\tresp=" + kGood + "\n", kOk, closing},
        {"mechanism with CR", "AUTH\t5\tPLAIN\r\n", "FAIL\t5\treason=unsupported mechanism\n",
         closing},
        {"mechanism too long", "AUTH\t5\tPLAINS\tresp=" + kGood + "\n",
         "FAIL\t5\treason=unsupported mechanism\n", closing},
        {"other mechanism", "AUTH\t5\tLOGIN\tresp=" + kGood + "\n",
         "FAIL\t5\treason=unsupported mechanism\n", closing},
        {"no fold beyond A-Z", "AUTH\t5\tPL\x81IN\n", "FAIL\t5\treason=unsupported mechanism\n",
         closing},
        {"CR passed into last field", "AUTH\t5\tPLAIN\tresp=" + kGood + "\r\n",
         "FAIL\t5\treason=invalid base64\n", closing},
        {"second resp wins", "AUTH\t7\tPLAIN\tresp=AB==\tresp=" + kGood + "\n", kOk, closing},
        {"second resp wins, bad", "AUTH\t5\tPLAIN\tresp=" + kGood + "\tresp=AB==\n",
         "FAIL\t5\treason=invalid base64\n", closing},
        {"capital RESP is no credential", "AUTH\t5\tPLAIN\tRESP=" + kGood + "\n",
         "FAIL\t5\treason=missing credentials\n", closing},
        {"no parameters", "AUTH\t5\tPLAIN\n", "FAIL\t5\treason=missing credentials\n", closing},
        {"empty resp", "AUTH\t5\tPLAIN\tresp=\n", "FAIL\t5\treason=malformed PLAIN\n", closing},
        {"trailing empty field", "AUTH\t7\tPLAIN\tresp=" + kGood + "\t\n", kOk, closing},
        {"wrong password", "AUTH\t5\tPLAIN\tresp=" + base64("\0\0nope"s) + "\n",
         "FAIL\t5\treason=authentication failed\n", closing},
        {"4095-byte line and LF", "AUTH\t7\tPLAIN\tresp=" + kGood + "\tx=" + longParam + "\n", kOk,
         closing},
        {"4096 bytes without LF", "AUTH\t7\tPLAIN\tresp=" + kGood + "\tx=" + longParam + "p",
         "FAIL\t0\treason=request too large\n", closing},
        {"4096 after a dropped line", "X\n" + std::string(4096, 'a'),
         "FAIL\t0\treason=request too large\n", closing},
        {"reply of 512 bytes", "AUTH\t" + id486 + "\n",
         "FAIL\t" + id486 + "\treason=no mechanism\n", closing},
        {"reply of 513 bytes", "AUTH\t" + id486 + "i\n", std::nullopt, closing},
        {"second AUTH never answered",
         "AUTH\t7\tPLAIN\tresp=" + kGood + "\nAUTH\t8\tPLAIN\tresp=" + kGood + "\n", kOk, closing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Connection conn;
        conn.send(c.input);
        ReadOutcome outcome{};
        {
            CaptureStderr quiet;
            outcome = handleReadable(*conn.slot, cache_);
        }
        EXPECT_EQ(conn.slot->state, c.state);
        // Every finished case here ended on a request line, answered or not.
        EXPECT_EQ(outcome,
                  c.state == ConnectionState::open ? ReadOutcome::waiting : ReadOutcome::answered);
        expectWiped(*conn.slot);
        if (c.state == ConnectionState::open) {
            EXPECT_FALSE(conn.replyPending());
            continue;
        }
        // Refused while the daemon end is still open, before the loop closes
        // it (not on FreeBSD 14, where only the close refuses it).
        if (test::readShutdownFailsPeerWrites()) {
            EXPECT_EQ(conn.clientWriteError(), EPIPE);
        }
        const std::string reply = conn.replyUntilClose();
        EXPECT_EQ(reply, c.reply.value_or(""));
        if (c.reply) {
            EXPECT_LE(c.reply->size(), kReplyBufferSize);
        }
    }
}

TEST_F(ProtocolTest, OnlyTheFirstAuthLineIsChecked) {
    Connection conn;
    conn.send("AUTH\t1\tPLAIN\tresp=" + kGood + "\nAUTH\t2\tPLAIN\tresp=" + kGood + "\n");
    CaptureStderr capture;
    handleReadable(*conn.slot, cache_);
    EXPECT_EQ(capture.text(), "info(sasl): auth OK: owner=alice\n");
    EXPECT_EQ(conn.replyUntilClose(), "OK\t1\tuser=alice\n");
}

TEST_F(ProtocolTest, PeerClosingOrNothingToRead) {
    {
        SCOPED_TRACE("closed before completing the line");
        Connection conn;
        conn.send("VERSION\t1\t2\nAUTH\t7\tPLAIN\tresp=" + kGood);
        conn.shutdownClientWrite();
        EXPECT_EQ(handleReadable(*conn.slot, cache_), ReadOutcome::ended);
        EXPECT_EQ(conn.slot->state, ConnectionState::closing);
        expectWiped(*conn.slot);
        EXPECT_EQ(conn.replyUntilClose(), "");
    }
    {
        SCOPED_TRACE("closed without sending");
        Connection conn;
        conn.shutdownClientWrite();
        EXPECT_EQ(handleReadable(*conn.slot, cache_), ReadOutcome::ended);
        EXPECT_EQ(conn.slot->state, ConnectionState::closing);
        EXPECT_EQ(conn.replyUntilClose(), "");
    }
    {
        SCOPED_TRACE("first read would block");
        Connection conn;
        EXPECT_EQ(handleReadable(*conn.slot, cache_), ReadOutcome::ended);
        EXPECT_EQ(conn.slot->state, ConnectionState::closing);
        EXPECT_EQ(conn.replyUntilClose(), "");
    }
}

TEST_F(ProtocolTest, RequestSplitAcrossEvents) {
    const std::string request = "VERSION\t1\t2\nAUTH\t7\tPLAIN\tresp=" + kGood + "\n";
    const std::vector<std::string> pieces = {request.substr(0, 5), request.substr(5, 10),
                                             request.substr(15, 20), request.substr(35)};
    Connection conn;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        SCOPED_TRACE(i);
        conn.send(pieces[i]);
        CaptureStderr quiet;
        handleReadable(*conn.slot, cache_);
        expectWiped(*conn.slot);
        if (i + 1 < pieces.size()) {
            ASSERT_EQ(conn.slot->state, ConnectionState::open);
            EXPECT_FALSE(conn.replyPending());
        }
    }
    EXPECT_EQ(conn.slot->state, ConnectionState::closing);
    EXPECT_EQ(conn.replyUntilClose(), kOk);
}

TEST_F(ProtocolTest, LongestLineArrivingInPieces) {
    const std::string head = "AUTH\t7\tPLAIN\tresp=" + kGood + "\tx=";
    const std::string line = head + std::string(4095 - head.size(), 'p');
    ASSERT_EQ(line.size(), 4095u);
    Connection conn;
    conn.send(line.substr(0, 4000));
    handleReadable(*conn.slot, cache_);
    ASSERT_EQ(conn.slot->state, ConnectionState::open);
    conn.send(line.substr(4000));
    handleReadable(*conn.slot, cache_);
    ASSERT_EQ(conn.slot->state, ConnectionState::open);
    EXPECT_EQ(conn.slot->fill, 4095u);
    conn.send("\n");
    CaptureStderr quiet;
    handleReadable(*conn.slot, cache_);
    EXPECT_EQ(conn.slot->state, ConnectionState::closing);
    EXPECT_EQ(conn.replyUntilClose(), kOk);
}

TEST_F(ProtocolTest, BurstBeyondOneReadIsAnsweredInOneEvent) {
    for (std::size_t dropped : {3000u, 9000u}) {
        SCOPED_TRACE(dropped);
        std::string burst;
        while (burst.size() < dropped) burst += "VERSION\t1\t2\tpadding-padding-padding\n";
        const std::string auth = "AUTH\t7\tPLAIN\tx=" + std::string(1500, 'q') + "\tresp=" + kGood;
        burst += auth + "\n";
        ASSERT_GT(burst.size(), kSlotBufferSize);
        Connection conn;
        conn.send(burst);
        CaptureStderr quiet;
        handleReadable(*conn.slot, cache_);
        EXPECT_EQ(conn.slot->state, ConnectionState::closing);
        expectWiped(*conn.slot);
        EXPECT_EQ(conn.replyUntilClose(), kOk);
    }
}

TEST_F(ProtocolTest, NoCredentialByteOutlivesTheConnection) {
    Connection conn;
    // The credential sits in the buffer across an event before it is answered.
    conn.send("CPID\t1\nAUTH\t7\tPLAIN\tresp=" + kGood);
    handleReadable(*conn.slot, cache_);
    ASSERT_EQ(conn.slot->state, ConnectionState::open);
    const std::string held(conn.slot->buffer, conn.slot->fill);
    EXPECT_EQ(held, "AUTH\t7\tPLAIN\tresp=" + kGood);
    expectWiped(*conn.slot);
    conn.send("\n");
    CaptureStderr quiet;
    handleReadable(*conn.slot, cache_);
    ASSERT_EQ(conn.slot->state, ConnectionState::closing);
    EXPECT_EQ(conn.slot->fill, 0u);
    EXPECT_TRUE(allZero(conn.slot->buffer, kSlotBufferSize));
}

TEST_F(ProtocolTest, WipeSlotInputClearsUsedBytes) {
    ConnectionSlot slot;
    std::memset(slot.buffer, 'k', 100);
    slot.fill = 100;
    wipeSlotInput(slot);
    EXPECT_EQ(slot.fill, 0u);
    EXPECT_TRUE(allZero(slot.buffer, kSlotBufferSize));
}

TEST_F(ProtocolTest, Greeting) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ASSERT_TRUE(sendGreeting(fds[1]).ok());
    char buf[64];
    ssize_t n = ::read(fds[0], buf, sizeof(buf));
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n > 0 ? n : 0)), kGreeting);
    EXPECT_EQ(kGreeting.size(), 38u);
    ::close(fds[0]);
    const Status broken = sendGreeting(fds[1]);
    EXPECT_EQ(broken.error(), ErrorCode::BrokenPipe);
    ::close(fds[1]);
}

}  // namespace
}  // namespace vg
