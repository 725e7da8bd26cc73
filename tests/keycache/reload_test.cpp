// Key cache reloads against real files: outcomes, log lines, generation, the
// path and size limits, and allocation failures through a failing allocator.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "keycache/key_cache.h"
#include "keycache/test_allocator.h"
#include "support/capture_stderr.h"

namespace vg {
namespace {

using test::CaptureStderr;
using test::TempDir;
using test::TestAllocator;

class Reload : public ::testing::Test {
protected:
    void SetUp() override {
        ::mkdir(dir.file("cache").c_str(), 0755);
        cacheDir = dir.file("cache");
    }
    void TearDown() override { cache.deinit(); }

    std::string keysPath() const { return cacheDir + "/keys"; }
    void writeKeys(const std::string& text) const { dir.write("cache/keys", text); }
    void init(const Allocator& alloc = processAllocator()) {
        cache.init(cacheDir, HashAlgorithm::sha256, alloc);
    }
    // Reloads with descriptor 2 captured; the log text goes to `log`.
    Status reload(std::string* log = nullptr) {
        CaptureStderr err;
        Status st = cache.reload();
        if (log != nullptr) *log = err.text();
        return st;
    }
    std::string owner(std::string_view key) {
        LockGuard<KeyCache> hold(cache);
        const KeyEntry* e = cache.lookup(key);
        return e == nullptr ? "<none>" : std::string(e->owner());
    }
    std::uint64_t count() {
        LockGuard<KeyCache> hold(cache);
        return cache.keyCount();
    }
    std::uint64_t generation() {
        LockGuard<KeyCache> hold(cache);
        return cache.generation();
    }
    static std::string reloaded(std::uint64_t lines, std::uint64_t gen) {
        return "info(keycache): reloaded " + std::to_string(lines) + " key(s) (generation " +
               std::to_string(gen) + ")\n";
    }
    static std::string readFailed(const char* name) {
        return std::string("error(keycache): failed to read keys file: error.") + name + "\n";
    }

    TempDir dir;
    std::string cacheDir;  // borrowed by the cache: outlives it
    KeyCache cache;
};

TEST_F(Reload, InitTouchesNothingAndStartsEmpty) {
    init();
    writeKeys("k\tv\n");  // not read before the first reload
    EXPECT_EQ(generation(), 0u);
    EXPECT_EQ(count(), 0u);
    EXPECT_EQ(owner("k"), "<none>");
}

TEST_F(Reload, RepeatedKeysCountAsLinesButNotAsKeys) {
    init();
    writeKeys("# header\na\t1\nb\t2\nc\t3\nb\t4\nd\t5\n\nbroken line\n");
    std::string log;
    ASSERT_TRUE(reload(&log).ok());
    EXPECT_EQ(log, reloaded(5, 1));
    EXPECT_EQ(count(), 4u);
    EXPECT_EQ(owner("b"), "4");
    EXPECT_EQ(owner("B"), "<none>");
}

TEST_F(Reload, MissingFileIsSuccessAndChangesNothing) {
    init();
    std::string log;
    ASSERT_TRUE(reload(&log).ok());
    EXPECT_EQ(log, "warning(keycache): keys file not found: " + keysPath() + "\n");
    EXPECT_EQ(generation(), 0u);

    // The file disappears between two reloads: the old table stays.
    writeKeys("k\tv\n");
    ASSERT_TRUE(reload().ok());
    ASSERT_EQ(::unlink(keysPath().c_str()), 0);
    ASSERT_TRUE(reload(&log).ok());
    EXPECT_EQ(log, "warning(keycache): keys file not found: " + keysPath() + "\n");
    EXPECT_EQ(generation(), 1u);
    EXPECT_EQ(owner("k"), "v");
}

TEST_F(Reload, MissingCacheDirIsAMissingFile) {
    cacheDir = dir.file("absent/deeper");
    init();
    std::string log;
    ASSERT_TRUE(reload(&log).ok());
    EXPECT_EQ(log,
              "warning(keycache): keys file not found: " + dir.path() + "/absent/deeper/keys\n");
    EXPECT_EQ(generation(), 0u);
}

TEST_F(Reload, TrailingSlashGivesADoubledSlash) {
    cacheDir = dir.file("cache/");
    init();
    writeKeys("k\tv\n");
    ASSERT_TRUE(reload().ok());
    EXPECT_EQ(owner("k"), "v");
    ::unlink(dir.file("cache/keys").c_str());
    std::string log;
    ASSERT_TRUE(reload(&log).ok());
    EXPECT_EQ(log, "warning(keycache): keys file not found: " + dir.path() + "/cache//keys\n");
}

TEST_F(Reload, EmptyFileInstallsAnEmptyTable) {
    init();
    writeKeys("k\tv\n");
    ASSERT_TRUE(reload().ok());
    for (const char* text : {"", "# only a comment\n\n", "\n"}) {
        writeKeys(text);
        std::string log;
        const std::uint64_t before = generation();
        ASSERT_TRUE(reload(&log).ok());
        EXPECT_EQ(log, reloaded(0, before + 1));
        EXPECT_EQ(count(), 0u);
        EXPECT_EQ(owner("k"), "<none>");
    }
}

TEST_F(Reload, ReadFailureKeepsTableAndGeneration) {
    init();
    writeKeys("k\tv\n");
    ASSERT_TRUE(reload().ok());
    // A directory named keys cannot be read, by root either.
    ASSERT_EQ(::unlink(keysPath().c_str()), 0);
    ASSERT_EQ(::mkdir(keysPath().c_str(), 0755), 0);
    std::string log;
    Status st = reload(&log);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error(), ErrorCode::IsDir);
    EXPECT_EQ(log, readFailed("IsDir"));
    EXPECT_EQ(generation(), 1u);
    EXPECT_EQ(owner("k"), "v");

    ASSERT_EQ(::rmdir(keysPath().c_str()), 0);
    writeKeys("n\tw\n");
    ASSERT_TRUE(reload(&log).ok());
    EXPECT_EQ(log, reloaded(1, 2));  // exactly one more after the failure
    EXPECT_EQ(owner("k"), "<none>");
    EXPECT_EQ(owner("n"), "w");
}

TEST_F(Reload, CacheDirThatIsAFileIsNotDir) {
    cacheDir = dir.write("plain", "x");
    init();
    std::string log;
    Status st = reload(&log);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error(), ErrorCode::NotDir);
    EXPECT_EQ(log, readFailed("NotDir"));
    EXPECT_EQ(generation(), 0u);
}

TEST_F(Reload, PathLengthBoundary) {
    // Nested short components, so a path that fits reaches the file system.
    auto dirOfLength = [](std::size_t n) {
        std::string d;
        while (d.size() < n) d += d.size() + 2 <= n ? "d/" : "d";
        return d;
    };
    struct Case {
        std::size_t dirLength;
        ErrorCode error;  // None: the file was looked for and is missing
        bool logged;
    };
    const Case cases[] = {
        {1018, ErrorCode::None, true},          // 1023-byte path: opened, not found
        {1019, ErrorCode::NameTooLong, true},   // 1024-byte path: refused by the reader
        {1020, ErrorCode::PathTooLong, false},  // does not fit the buffer
        {4000, ErrorCode::PathTooLong, false},
    };
    for (const Case& c : cases) {
        cacheDir = dirOfLength(c.dirLength);
        ASSERT_EQ(cacheDir.size(), c.dirLength);
        init();
        std::string log;
        Status st = reload(&log);
        EXPECT_EQ(st.error(), c.error) << c.dirLength;
        if (c.error == ErrorCode::None) {
            EXPECT_EQ(log, "warning(keycache): keys file not found: " + cacheDir + "/keys\n");
        } else if (c.logged) {
            EXPECT_EQ(log, readFailed("NameTooLong")) << c.dirLength;
        } else {
            EXPECT_EQ(log, "") << c.dirLength;
        }
        EXPECT_EQ(generation(), 0u);
    }
}

TEST_F(Reload, SizeLimitBoundary) {
    init();
    // Exactly the limit: one key line, then a comment filling the rest.
    const std::string line = "big\towner\n#";
    const std::string content = line + std::string(kKeysFileLimit - line.size(), 'p');
    ASSERT_EQ(content.size(), 16'777'216u);
    writeKeys(content);
    std::string log;
    ASSERT_TRUE(reload(&log).ok());
    EXPECT_EQ(log, reloaded(1, 1));
    EXPECT_EQ(owner("big"), "owner");

    writeKeys("other\tx\n" + content.substr(8) + "p");
    Status st = reload(&log);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error(), ErrorCode::FileTooBig);
    EXPECT_EQ(log, readFailed("FileTooBig"));
    EXPECT_EQ(owner("big"), "owner");
    EXPECT_EQ(owner("other"), "<none>");
    EXPECT_EQ(generation(), 1u);
}

TEST_F(Reload, EndlessFifoStopsAtTheLimit) {
    init();
    ASSERT_EQ(::mkfifo(keysPath().c_str(), 0600), 0);
    // The write end is open before the reload starts (O_RDWR does not wait
    // for a reader); a child keeps the FIFO full from it.
    const int writeEnd = ::open(keysPath().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writeEnd, 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        const std::string chunk(65536, 'x');
        while (::write(writeEnd, chunk.data(), chunk.size()) > 0) {
        }
        ::_exit(0);
    }
    std::string log;
    Status st = reload(&log);
    ::kill(writer, SIGKILL);
    ::waitpid(writer, nullptr, 0);
    ::close(writeEnd);
    EXPECT_EQ(st.error(), ErrorCode::FileTooBig);
    EXPECT_EQ(log, readFailed("FileTooBig"));
    EXPECT_EQ(generation(), 0u);
}

TEST_F(Reload, GenerationMovesOnlyWhenATableIsInstalled) {
    init();
    struct Step {
        const char* action;  // "write", "remove", "dir"
        bool ok;
        std::uint64_t generation;
    };
    const Step steps[] = {
        {"remove", true, 0}, {"write", true, 1}, {"remove", true, 1}, {"dir", false, 1},
        {"write", true, 2},  {"write", true, 3}, {"dir", false, 3},   {"write", true, 4},
    };
    for (const Step& s : steps) {
        ::unlink(keysPath().c_str());
        ::rmdir(keysPath().c_str());
        if (std::string(s.action) == "write") writeKeys("k\tv\n");
        if (std::string(s.action) == "dir") ::mkdir(keysPath().c_str(), 0755);
        EXPECT_EQ(reload().ok(), s.ok) << s.action;
        EXPECT_EQ(generation(), s.generation) << s.action;
    }
}

TEST_F(Reload, LookupsSeeTheInstalledTableOnly) {
    init();
    const std::string nulKey("k\0ey", 4);
    const std::string longKey(200, 'K');
    const std::string longOwner(120, 'O');
    writeKeys(nulKey + "\tnul-owner\n" + longKey + "\t" + longOwner +
              "\tsome extra\nCase\tupper\n");
    ASSERT_TRUE(reload().ok());
    EXPECT_EQ(owner(nulKey), "nul-owner");
    EXPECT_EQ(owner("k"), "<none>");
    EXPECT_EQ(owner(std::string("k\0ez", 4)), "<none>");
    EXPECT_EQ(owner(longKey), longOwner);
    EXPECT_EQ(owner("Case"), "upper");
    EXPECT_EQ(owner("case"), "<none>");
    {
        LockGuard<KeyCache> hold(cache);
        ASSERT_NE(cache.lookup(longKey), nullptr);
        EXPECT_EQ(cache.lookup(longKey)->extra(), "some extra");
    }
    writeKeys("case\tlower\n");
    ASSERT_TRUE(reload().ok());
    EXPECT_EQ(owner("Case"), "<none>");
    EXPECT_EQ(owner(longKey), "<none>");
    EXPECT_EQ(owner("case"), "lower");
}

TEST_F(Reload, ManyGeneratedKeys) {
    init();
    constexpr std::size_t kKeys = 100000;
    auto keyOf = [](std::size_t i) {
        char buf[65];
        std::snprintf(buf, sizeof buf, "%064llx",
                      static_cast<unsigned long long>(i * 0x9E3779B97F4A7C15ull));
        return std::string(buf);
    };
    std::string text;
    for (std::size_t i = 0; i < kKeys; ++i) text += keyOf(i) + "\tuser" + std::to_string(i) + "\n";
    writeKeys(text);
    std::string log;
    ASSERT_TRUE(reload(&log).ok());
    EXPECT_EQ(log, reloaded(kKeys, 1));
    LockGuard<KeyCache> hold(cache);
    EXPECT_EQ(cache.keyCount(), kKeys);
    for (std::size_t i = 0; i < kKeys; ++i) {
        const KeyEntry* e = cache.lookup(keyOf(i));
        ASSERT_NE(e, nullptr) << i;
        ASSERT_EQ(e->owner(), "user" + std::to_string(i)) << i;
    }
    for (std::size_t i = kKeys; i < kKeys + 10000; ++i) ASSERT_EQ(cache.lookup(keyOf(i)), nullptr);
}

// --- allocation failures ---------------------------------------------------

TEST_F(Reload, NoMemoryForTheFileBuffer) {
    init();
    writeKeys("k\tv\n");
    ASSERT_TRUE(reload().ok());
    TestAllocator alloc;
    alloc.failNth(1);
    init(alloc.handle);  // a fresh cache on the failing allocator
    std::string log;
    Status st = reload(&log);
    EXPECT_EQ(st.error(), ErrorCode::OutOfMemory);
    EXPECT_EQ(log, readFailed("OutOfMemory"));
    EXPECT_EQ(generation(), 0u);
    cache.deinit();
    EXPECT_TRUE(alloc.live.empty());
}

TEST_F(Reload, NoMemoryWhileBuildingKeepsTheTableInUse) {
    TestAllocator alloc;
    init(alloc.handle);
    const std::string oldKey(80, 'o');
    writeKeys(oldKey + "\told-owner-of-some-length\nold\tkeeper\n");
    ASSERT_TRUE(reload().ok());
    const std::size_t oldBlocks = alloc.live.size();

    // Copies that go out of line (key over 64 bytes, owner or extra over 15)
    // are allocations 4 to 10, after the file buffer and the two presized
    // blocks; the 200 short lines after them need none unless the table grows.
    std::string text =
        std::string(70, '1') + "\towner-with-a-long-name\textra-that-is-long-enough\n" +
        "short\ttiny\n" + std::string(90, '3') + "\to3\tx\n" +
        "short\ta-replacing-long-owner\tand-a-long-extra-too\n" + "key5\towner-five-is-long-too\n";
    for (int i = 0; i < 200; ++i)
        text += "k" + std::to_string(i) + "\to" + std::to_string(i) + "\n";
    writeKeys(text);
    struct Case {
        const char* name;
        std::function<bool(std::size_t number, std::size_t size)> fails;
        bool installs;
    };
    const Case cases[] = {
        {"first copy", [](std::size_t n, std::size_t) { return n == 4; }, false},
        {"copy mid-file", [](std::size_t n, std::size_t) { return n == 7; }, false},
        {"new owner of a repeated key", [](std::size_t n, std::size_t) { return n == 8; }, false},
        // Not presized, the table grows, and a growth past 8000 bytes fails.
        {"table growth", [](std::size_t n, std::size_t size) { return n == 2 || size >= 8000; },
         false},
        {"presizing only: growth takes over", [](std::size_t n, std::size_t) { return n == 2; },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        alloc.allocations = 0;
        alloc.failWhen = c.fails;
        std::string log;
        Status st = reload(&log);
        alloc.failWhen = nullptr;
        if (c.installs) {
            EXPECT_TRUE(st.ok());
            EXPECT_EQ(log, reloaded(205, 2));
            EXPECT_EQ(owner("short"), "a-replacing-long-owner");
            EXPECT_EQ(owner("k199"), "o199");
            EXPECT_EQ(owner("old"), "<none>");
            continue;
        }
        EXPECT_EQ(st.error(), ErrorCode::OutOfMemory);
        EXPECT_EQ(log, readFailed("OutOfMemory"));
        EXPECT_EQ(generation(), 1u);
        EXPECT_EQ(owner(oldKey), "old-owner-of-some-length");
        EXPECT_EQ(owner("old"), "keeper");
        EXPECT_EQ(owner("short"), "<none>");
        EXPECT_EQ(alloc.live.size(), oldBlocks) << "the new table's blocks leaked";
    }
    // The numbering above is what a reload of that file allocates.
    alloc.allocations = 0;
    ASSERT_TRUE(reload().ok());
    EXPECT_EQ(alloc.allocations, 10u);
    cache.deinit();
    EXPECT_TRUE(alloc.live.empty());
}

TEST_F(Reload, ReplacedTablesReleaseTheirCopies) {
    TestAllocator alloc;
    init(alloc.handle);
    for (int round = 0; round < 3; ++round) {
        writeKeys(std::string(90, static_cast<char>('a' + round)) + "\t" + std::string(30, 'o') +
                  "\tex" + std::string(20, 'x') + "\nk\tv\nk\tw" + std::string(25, 'w') + "\n");
        ASSERT_TRUE(reload().ok());
        // Slots, entries, the long line's three copies and k's long owner:
        // one generation's worth, nothing of the one before and no file buffer.
        EXPECT_EQ(alloc.live.size(), 2u + 3u + 1u) << round;
    }
    cache.deinit();
    EXPECT_TRUE(alloc.live.empty());
    EXPECT_EQ(count(), 0u);
}

}  // namespace
}  // namespace vg
