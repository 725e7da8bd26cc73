// Test helper for the key cache tests: an allocator handle that fails on
// demand and keeps account of every live block, so leaks and wrong release
// sizes show. Blocks are handed out zeroed and must come back zeroed: a byte
// that is not zero on release was written and never wiped.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>

#include "core/allocator.h"

namespace vg::test {

struct TestAllocator {
    // Called with the 1-based number of the allocation and its size; true fails it.
    std::function<bool(std::size_t number, std::size_t size)> failWhen;
    std::size_t allocations = 0;  // attempts, failed ones included
    std::size_t failures = 0;
    std::map<void*, std::size_t> live;
    Allocator handle{allocateFn, releaseFn, shrinkFn, this};

    TestAllocator() = default;
    TestAllocator(const TestAllocator&) = delete;
    TestAllocator& operator=(const TestAllocator&) = delete;
    ~TestAllocator() {
        for (auto& [block, size] : live) std::free(block);
    }

    std::size_t liveBytes() const {
        std::size_t total = 0;
        for (const auto& [block, size] : live) total += size;
        return total;
    }

    // Fails only the allocation with this number.
    void failNth(std::size_t n) {
        failWhen = [n](std::size_t number, std::size_t) { return number == n; };
    }

private:
    static void* allocateFn(void* ctx, std::size_t size) noexcept {
        auto* self = static_cast<TestAllocator*>(ctx);
        const std::size_t number = ++self->allocations;
        if (self->failWhen && self->failWhen(number, size)) {
            ++self->failures;
            return nullptr;
        }
        void* block = std::calloc(1, size);
        if (block != nullptr) self->live[block] = size;
        return block;
    }
    static bool wiped(const void* block, std::size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(block);
        return std::all_of(bytes, bytes + size, [](unsigned char b) { return b == 0; });
    }
    static void releaseFn(void* ctx, void* block, std::size_t size) noexcept {
        auto* self = static_cast<TestAllocator*>(ctx);
        auto it = self->live.find(block);
        EXPECT_NE(it, self->live.end()) << "released a block it did not hand out";
        if (it == self->live.end()) return;
        EXPECT_EQ(it->second, size) << "released with the wrong size";
        EXPECT_TRUE(wiped(block, it->second)) << "released a block of " << size << " bytes unwiped";
        self->live.erase(it);
        std::free(block);
    }
    static void* shrinkFn(void* ctx, void* block, std::size_t oldSize,
                          std::size_t newSize) noexcept {
        auto* self = static_cast<TestAllocator*>(ctx);
        auto it = self->live.find(block);
        EXPECT_NE(it, self->live.end());
        if (it == self->live.end()) return nullptr;
        EXPECT_EQ(it->second, oldSize);
        EXPECT_TRUE(newSize <= oldSize &&
                    wiped(static_cast<char*>(block) + newSize, oldSize - newSize))
            << "shrank away unwiped bytes";
        self->live.erase(it);
        void* smaller = std::realloc(block, newSize);
        self->live[smaller == nullptr ? block : smaller] = smaller == nullptr ? oldSize : newSize;
        return smaller;
    }
};

}  // namespace vg::test
