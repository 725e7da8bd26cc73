// Log output: exact bytes, write pattern through the 64-byte buffer, nesting,
// failures of standard error, and the printed error names.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <set>
#include <string>
#include <vector>

#include "log/log.h"
#include "support/capture_stderr.h"

namespace vg {
namespace {

using test::CaptureStderr;

// Descriptor 2 as one end of a SOCK_SEQPACKET pair: every write(v) call
// arrives as one record, so the test sees the write pattern, not just bytes.
class CaptureWrites {
public:
    CaptureWrites() {
        int sv[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
        reader_ = sv[0];
        saved_ = ::dup(2);
        ::dup2(sv[1], 2);
        ::close(sv[1]);
    }
    ~CaptureWrites() {
        ::dup2(saved_, 2);
        ::close(saved_);
        ::close(reader_);
    }
    std::vector<std::string> writes() {
        std::vector<std::string> out;
        char buf[65536];
        for (;;) {
            ssize_t n = ::recv(reader_, buf, sizeof(buf), MSG_DONTWAIT);
            if (n < 0) break;
            out.emplace_back(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

private:
    int reader_ = -1;
    int saved_ = -1;
};

TEST(LogLine, FormatsPrefixesAndValues) {
    CaptureStderr err;
    logLine(LogLevel::info, LogScope::keycache, "reloaded ", std::uint64_t{0},
            " key(s) (generation ", std::uint64_t{18446744073709551615ULL}, ")");
    logLine(LogLevel::warning, LogScope::main, "max connections reached, rejecting");
    logLine(LogLevel::error, LogScope::config, "config file not found: ", std::string_view("a\nb"));
    logLine(LogLevel::error, LogScope::main, "kevent failed: ", ErrorCode::EventNotFound);
    logLine(LogLevel::info, LogScope::sasl, "auth OK: owner=", std::string_view("o\0w", 3));
    logFatal(ErrorCode::InvalidValue);
    std::string expected =
        "info(keycache): reloaded 0 key(s) (generation 18446744073709551615)\n"
        "warning(main): max connections reached, rejecting\n"
        "error(config): config file not found: a\nb\n"
        "error(main): kevent failed: error.EventNotFound\n"
        "info(sasl): auth OK: owner=";
    expected += std::string_view("o\0w", 3);
    expected += "\nerror: InvalidValue\n";
    EXPECT_EQ(err.text(), expected);
}

TEST(LogLine, ShortLineLeavesInOneWrite) {
    CaptureWrites cap;
    logLine(LogLevel::info, LogScope::main, "shutdown signal received");
    std::vector<std::string> w = cap.writes();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0], "info(main): shutdown signal received\n");
    EXPECT_EQ(w[0].size(), 37u);
}

TEST(LogLine, ListeningLineForDefaultSocketLeavesInOneWrite) {
    CaptureWrites cap;
    logLine(LogLevel::info, LogScope::main, "Vellumgard listening on ", "/var/run/vellumgard.sock",
            " (", std::uint64_t{42}, " keys loaded)");
    std::vector<std::string> w = cap.writes();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0],
              "info(main): Vellumgard listening on /var/run/vellumgard.sock (42 keys loaded)\n");
}

TEST(LogLine, LongPieceGoesOutWithBufferedPrefix) {
    CaptureWrites cap;
    std::string path(200, 'p');
    logLine(LogLevel::info, LogScope::config, "loaded config from ", path);
    std::vector<std::string> w = cap.writes();
    // The prefix waits in the buffer and leaves together with the long piece
    // and the line feed.
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0], "info(config): loaded config from " + path + "\n");
}

TEST(LogLock, ReentrantOnSameThreadKeepsByteOrder) {
    CaptureStderr err;
    LogLock& lock = logLock();
    char outer[LogWriter::kBufferSize];
    lock.take(outer, sizeof(outer));
    EXPECT_EQ(lock.depth(), 1u);
    ASSERT_TRUE(lock.writer().write("outer-start "));
    logLine(LogLevel::info, LogScope::main, "inner");
    EXPECT_EQ(lock.depth(), 1u);
    ASSERT_TRUE(lock.writer().write("outer-end\n"));
    lock.release();
    EXPECT_EQ(lock.depth(), 0u);
    EXPECT_EQ(lock.holder(), -1);
    EXPECT_EQ(err.text(), "outer-start info(main): inner\nouter-end\n");
}

TEST(LogLine, LongLineWithSeveralLongPiecesKeepsOrder) {
    CaptureWrites cap;
    std::string a(100, 'a');
    std::string b(70, 'b');
    logLine(LogLevel::error, LogScope::main, "x ", a, " y ", b, " z");
    std::vector<std::string> w = cap.writes();
    // One write per piece that did not fit (with what was buffered before it),
    // then the rest at the end of the line.
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0], "error(main): x " + a);
    EXPECT_EQ(w[1], " y " + b);
    EXPECT_EQ(w[2], " z\n");
}

TEST(LogLine, ClosedStderrNeitherCrashesNorCarriesOver) {
    int saved = ::dup(2);
    ::close(2);
    logLine(LogLevel::error, LogScope::main, "lost line ", std::string(300, 'x'));
    ::dup2(saved, 2);
    ::close(saved);
    CaptureStderr err;
    logLine(LogLevel::info, LogScope::main, "next");
    EXPECT_EQ(err.text(), "info(main): next\n");
}

TEST(LogLine, BrokenPipeStderrIsSilent) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old {};
    sigaction(SIGPIPE, &ignore, &old);
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    ::close(p[0]);
    int saved = ::dup(2);
    ::dup2(p[1], 2);
    ::close(p[1]);
    for (int i = 0; i < 3; ++i)
        logLine(LogLevel::info, LogScope::main, "to nobody ", std::string(100, 'y'));
    ::dup2(saved, 2);
    ::close(saved);
    sigaction(SIGPIPE, &old, nullptr);
    CaptureStderr err;
    logLine(LogLevel::info, LogScope::main, "after");
    EXPECT_EQ(err.text(), "info(main): after\n");
    EXPECT_EQ(logLock().holder(), -1);
}

TEST(ErrorNames, EveryMemberHasItsOwnName) {
    std::set<std::string_view> seen;
    int count = 0;
#define VG_CHECK_NAME(name)                                         \
    EXPECT_EQ(errorName(ErrorCode::name), std::string_view(#name)); \
    seen.insert(errorName(ErrorCode::name));                        \
    ++count;
    VG_ERROR_CODES(VG_CHECK_NAME)
#undef VG_CHECK_NAME
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(count, 47);
}

TEST(ErrorNames, MessageFormHasPrefix) {
    CaptureStderr err;
    logLine(LogLevel::warning, LogScope::main,
            "cannot open cache dir /x for watching: ", ErrorCode::FileNotFound,
            " (reload on SIGHUP only)");
    logFatal(ErrorCode::FileNotFound);
    EXPECT_EQ(err.text(),
              "warning(main): cannot open cache dir /x for watching: error.FileNotFound (reload on "
              "SIGHUP only)\nerror: FileNotFound\n");
}

}  // namespace
}  // namespace vg
