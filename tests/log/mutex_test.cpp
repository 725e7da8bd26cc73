// Mutex word values and mutual exclusion under real contention.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "log/log.h"
#include "log/mutex.h"

namespace vg {
namespace {

TEST(Mutex, WordIsZeroOrOneWithoutContention) {
    Mutex m;
    EXPECT_EQ(m.word(), 0u);
    m.lock();
    EXPECT_EQ(m.word(), 1u);
    m.unlock();
    EXPECT_EQ(m.word(), 0u);
}

TEST(Mutex, CounterIsExactUnderContention) {
    Mutex m;
    std::uint64_t counter = 0;  // deliberately not atomic: only the lock protects it
    constexpr int kThreads = 8;
    constexpr int kRounds = 50000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                LockGuard<Mutex> hold(m);
                std::uint64_t v = counter;
                if (i % 64 == 0) std::this_thread::yield();  // widen the window
                counter = v + 1;
                std::uint32_t w = m.word();
                EXPECT_TRUE(w == 1u || w == 3u) << w;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, std::uint64_t{kThreads} * kRounds);
    EXPECT_EQ(m.word(), 0u);
}

TEST(LogLock, ExcludesOtherThreads) {
    // Lines from several threads never interleave: each line arrives whole.
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    int saved = ::dup(2);
    ::dup2(p[1], 2);
    ::close(p[1]);
    std::string collected;
    std::thread reader([&] {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(p[0], buf, sizeof(buf))) > 0)
            collected.append(buf, static_cast<std::size_t>(n));
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            std::string body(100, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) logLine(LogLevel::info, LogScope::main, body);
        });
    }
    for (auto& t : threads) t.join();
    ::dup2(saved, 2);
    ::close(saved);
    reader.join();
    ::close(p[0]);
    std::size_t lines = 0;
    std::size_t pos = 0;
    while (pos < collected.size()) {
        std::size_t nl = collected.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        std::string line = collected.substr(pos, nl - pos);
        ASSERT_EQ(line.size(), 112u) << line;
        char c = line[12];
        EXPECT_EQ(line, "info(main): " + std::string(100, c));
        ++lines;
        pos = nl + 1;
    }
    EXPECT_EQ(lines, std::size_t{kThreads} * kLines);
}

}  // namespace
}  // namespace vg
