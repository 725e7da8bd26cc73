// Whole-file reads: limits, special files and allocation failure.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/files.h"
#include "support/capture_stderr.h"

namespace vg {
namespace {

using test::TempDir;

// Counts what is allocated and fails from the Nth allocation on.
struct CountingAllocator {
    long failFrom = -1;
    long calls = 0;
    long live = 0;
    std::size_t largest = 0;
    Allocator handle{allocate, release, shrink, this};

    static void* allocate(void* ctx, std::size_t size) noexcept {
        auto* self = static_cast<CountingAllocator*>(ctx);
        if (self->failFrom >= 0 && self->calls++ >= self->failFrom) return nullptr;
        if (size > self->largest) self->largest = size;
        ++self->live;
        return std::malloc(size);
    }
    static void release(void* ctx, void* block, std::size_t) noexcept {
        --static_cast<CountingAllocator*>(ctx)->live;
        std::free(block);
    }
    static void* shrink(void*, void* block, std::size_t, std::size_t size) noexcept {
        return std::realloc(block, size);
    }
};

TEST(ReadWholeFile, ReadsExactBytesIncludingEmpty) {
    TempDir dir;
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1023}, std::size_t{1024},
                             std::size_t{1025}, std::size_t{70000}}) {
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 7);
        std::string path = dir.write("f", content);
        Result<OwnedBytes> r = readWholeFile(path, 100000);
        ASSERT_TRUE(r.ok()) << size;
        EXPECT_EQ(r->view(), content) << size;
    }
}

TEST(ReadWholeFile, LimitBoundary) {
    TempDir dir;
    std::string path = dir.write("f", std::string(4096, 'x'));
    EXPECT_TRUE(readWholeFile(path, 4096).ok());
    Result<OwnedBytes> over = readWholeFile(path, 4095);
    ASSERT_FALSE(over.ok());
    EXPECT_EQ(over.error(), ErrorCode::FileTooBig);
}

TEST(ReadWholeFile, EndlessDeviceStopsPastLimit) {
    CountingAllocator alloc;
    Result<OwnedBytes> r = readWholeFile("/dev/zero", 65536, alloc.handle);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), ErrorCode::FileTooBig);
    EXPECT_LE(alloc.largest, std::size_t{65537});
    EXPECT_EQ(alloc.live, 0);
}

TEST(ReadWholeFile, FifoThatNeverEndsIsTooBig) {
    TempDir dir;
    std::string path = dir.file("fifo");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    // The writer end is opened first, so the reader finds a writer; it writes
    // without blocking until told to stop.
    int w = ::open(path.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(w, 0);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::string chunk(8192, 'k');
        while (!stop) {
            if (::write(w, chunk.data(), chunk.size()) < 0) std::this_thread::yield();
        }
    });
    Result<OwnedBytes> r = readWholeFile(path, 100000);
    stop = true;
    writer.join();
    ::close(w);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), ErrorCode::FileTooBig);
}

TEST(ReadWholeFile, FifoWithoutWriterDoesNotHang) {
    TempDir dir;
    std::string path = dir.file("fifo");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    Result<OwnedBytes> r = readWholeFile(path, 100000);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->size(), 0u);
}

TEST(ReadWholeFile, ErrorsAreMapped) {
    TempDir dir;
    struct Case {
        std::string path;
        ErrorCode error;
    };
    std::string file = dir.write("plain", "x");
    const Case cases[] = {
        {dir.file("missing"), ErrorCode::FileNotFound},
        {dir.path(), ErrorCode::IsDir},
        {file + "/keys", ErrorCode::NotDir},
        {std::string(1024, 'a'), ErrorCode::NameTooLong},
        {file + std::string("\0/x", 3), ErrorCode::BadPathName},  // never cut short at the NUL
        {std::string(1023, '/'), ErrorCode::IsDir},
    };
    for (const Case& c : cases) {
        Result<OwnedBytes> r = readWholeFile(c.path, 100);
        ASSERT_FALSE(r.ok()) << c.path;
        EXPECT_EQ(r.error(), c.error) << c.path;
    }
}

TEST(ReadWholeFile, AllocationFailureIsOutOfMemoryWithoutLeak) {
    TempDir dir;
    std::string path = dir.write("f", std::string(5000, 'y'));
    for (long failAt = 0; failAt < 3; ++failAt) {
        CountingAllocator alloc;
        alloc.failFrom = failAt;
        Result<OwnedBytes> r = readWholeFile(path, 100000, alloc.handle);
        if (!r.ok()) {
            EXPECT_EQ(r.error(), ErrorCode::OutOfMemory);
        }
        r = ErrorCode::Unexpected;  // drop any buffer
        EXPECT_EQ(alloc.live, 0) << failAt;
    }
    CountingAllocator none;
    none.failFrom = 0;
    Result<OwnedBytes> r = readWholeFile(path, 100000, none.handle);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), ErrorCode::OutOfMemory);
}

}  // namespace
}  // namespace vg
