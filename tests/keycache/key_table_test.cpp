// The key table: exact byte-for-byte lookup, inline and out-of-line storage,
// growth, and what an allocation failure leaves behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "keycache/key_table.h"
#include "keycache/test_allocator.h"

namespace vg {
namespace {

using namespace std::string_literals;
using test::TestAllocator;

std::string hexKey(std::size_t i) {
    char buf[65];
    std::snprintf(buf, sizeof buf, "%064zx", i * 2654435761u);
    return buf;
}

TEST(KeyTable, MatchesWholeKeysByteForByte) {
    TestAllocator alloc;
    {
        KeyTable t(alloc.handle);
        ASSERT_TRUE(t.reserve(8));
        const std::string longKey(200, 'L');
        const std::string longOwner(300, 'O');
        const std::string key64(64, 'k');
        const std::string key65(65, 'k');
        EXPECT_EQ(t.insert("Abc", "one", ""), InsertResult::added);
        EXPECT_EQ(t.insert("a\0b"s, "nul", "x"), InsertResult::added);
        EXPECT_EQ(t.insert(longKey, longOwner, std::string(40, 'e')), InsertResult::added);
        EXPECT_EQ(t.insert(key64, std::string(15, 'p'), std::string(16, 'q')), InsertResult::added);
        EXPECT_EQ(t.insert(key65, std::string(16, 'r'), ""), InsertResult::added);
        EXPECT_EQ(t.insert("Abc", "two", "2"), InsertResult::replaced);
        EXPECT_EQ(t.size(), 5u);

        struct Probe {
            std::string key;
            const char* owner;  // nullptr: absent
        };
        const Probe probes[] = {
            {"Abc", "two"},
            {"abc", nullptr},
            {"ABC", nullptr},
            {"Ab", nullptr},
            {"Abcd", nullptr},
            {"a\0b"s, "nul"},
            {"a\0c"s, nullptr},
            {"a"s, nullptr},
            {"a\0b\0"s, nullptr},
            {"", nullptr},
            {longKey.substr(1), nullptr},
        };
        for (const Probe& p : probes) {
            const KeyEntry* e = t.find(p.key);
            if (p.owner == nullptr) {
                EXPECT_EQ(e, nullptr) << testing::PrintToString(p.key);
            } else {
                ASSERT_NE(e, nullptr) << testing::PrintToString(p.key);
                EXPECT_EQ(e->owner(), p.owner);
                EXPECT_EQ(e->key(), p.key);
            }
        }
        EXPECT_EQ(t.find("Abc")->extra(), "2");
        // Out-of-line key, owner and extra, and the 15/16 and 64/65 storage edges.
        ASSERT_NE(t.find(longKey), nullptr);
        EXPECT_EQ(t.find(longKey)->key(), longKey);
        EXPECT_EQ(t.find(longKey)->owner(), longOwner);
        EXPECT_EQ(t.find(longKey)->extra(), std::string(40, 'e'));
        ASSERT_NE(t.find(key64), nullptr);
        EXPECT_EQ(t.find(key64)->owner(), std::string(15, 'p'));
        EXPECT_EQ(t.find(key64)->extra(), std::string(16, 'q'));
        ASSERT_NE(t.find(key65), nullptr);
        EXPECT_EQ(t.find(key65)->key(), key65);
        EXPECT_EQ(t.find(key65)->owner(), std::string(16, 'r'));
        EXPECT_EQ(t.find(std::string(63, 'k')), nullptr);
        // Only strings past the inline room take allocations of their own:
        // slots, entries, 200 + 300 + 40 (long key), 16 (key64's extra), 65 + 16 (key65).
        EXPECT_EQ(alloc.live.size(), 2u + 3u + 1u + 2u);
        EXPECT_EQ(t.storageBytes(), alloc.liveBytes());
    }
    EXPECT_TRUE(alloc.live.empty());
}

TEST(KeyTable, ManyKeysAllFoundAndOthersNot) {
    constexpr std::size_t kKeys = 100000;
    for (bool presized : {true, false}) {
        KeyTable t(processAllocator());
        if (presized) {
            ASSERT_TRUE(t.reserve(kKeys));
        }
        for (std::size_t i = 0; i < kKeys; ++i) {
            ASSERT_EQ(t.insert(hexKey(i), "user" + std::to_string(i), ""), InsertResult::added)
                << i;
        }
        EXPECT_EQ(t.size(), kKeys);
        // At most three quarters full, and a presized table never grew past its size.
        EXPECT_LE(t.size() * 4, t.slotCount() * 3);
        if (presized) {
            EXPECT_EQ(t.slotCount(), 262144u);
        }
        for (std::size_t i = 0; i < kKeys; ++i) {
            const KeyEntry* e = t.find(hexKey(i));
            ASSERT_NE(e, nullptr) << i;
            ASSERT_EQ(e->owner(), "user" + std::to_string(i));
        }
        for (std::size_t i = kKeys; i < kKeys + 10000; ++i) {
            ASSERT_EQ(t.find(hexKey(i)), nullptr) << i;
        }
    }
}

TEST(KeyTable, ReplacingReleasesTheSupersededCopies) {
    TestAllocator alloc;
    KeyTable t(alloc.handle);
    const std::string key(100, 'k');
    ASSERT_EQ(t.insert(key, std::string(20, 'a'), std::string(30, 'b')), InsertResult::added);
    const std::size_t afterFirst = alloc.live.size();
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(t.insert(key, std::string(21 + i, 'c'), std::string(31 + i, 'd')),
                  InsertResult::replaced);
        EXPECT_EQ(alloc.live.size(), afterFirst);  // old owner/extra and the new key copy gone
    }
    EXPECT_EQ(t.find(key)->owner(), std::string(25, 'c'));
    EXPECT_EQ(t.find(key)->extra(), std::string(35, 'd'));
    ASSERT_EQ(t.insert(key, "short", ""), InsertResult::replaced);
    EXPECT_EQ(alloc.live.size(), afterFirst - 2);
    EXPECT_EQ(t.storageBytes(), alloc.liveBytes());
    t.release();
    EXPECT_TRUE(alloc.live.empty());
    EXPECT_EQ(t.find(key), nullptr);
}

TEST(KeyTable, GrowthFailureRefusesNewKeysButStillReplaces) {
    TestAllocator alloc;
    KeyTable t(alloc.handle);
    ASSERT_TRUE(t.reserve(2));
    alloc.failWhen = [](std::size_t, std::size_t size) { return size > 64; };  // no growth
    EXPECT_EQ(t.insert("a", "1", ""), InsertResult::added);
    EXPECT_EQ(t.insert("b", "2", ""), InsertResult::added);
    EXPECT_EQ(t.insert("c", "3", ""), InsertResult::outOfMemory);
    EXPECT_EQ(t.insert(std::string(70, 'c'), "3", ""), InsertResult::outOfMemory);
    EXPECT_EQ(t.insert("a", "4", "x"), InsertResult::replaced);
    EXPECT_EQ(t.size(), 2u);
    EXPECT_EQ(t.find("a")->owner(), "4");
    EXPECT_EQ(t.find("a")->extra(), "x");
    EXPECT_EQ(t.find("c"), nullptr);
    // Growth works again once memory is back, and keeps what was there.
    alloc.failWhen = nullptr;
    EXPECT_EQ(t.insert("c", "3", ""), InsertResult::added);
    EXPECT_EQ(t.find("a")->owner(), "4");
    EXPECT_EQ(t.find("b")->owner(), "2");
    t.release();
    EXPECT_TRUE(alloc.live.empty());
}

TEST(KeyTable, CopyFailureLeavesNothingOfTheLine) {
    const std::string longKey(80, 'k');
    const std::string longOwner(40, 'o');
    const std::string longExtra(50, 'x');
    // Allocations after the two storage blocks: key, owner, extra of the line.
    for (std::size_t failing = 3; failing <= 5; ++failing) {
        TestAllocator alloc;
        KeyTable t(alloc.handle);
        ASSERT_TRUE(t.reserve(4));
        alloc.failNth(failing);
        EXPECT_EQ(t.insert(longKey, longOwner, longExtra), InsertResult::outOfMemory) << failing;
        EXPECT_EQ(alloc.failures, 1u);
        EXPECT_EQ(alloc.live.size(), 2u) << failing;  // just the storage
        EXPECT_EQ(t.find(longKey), nullptr);
        EXPECT_EQ(t.size(), 0u);
        EXPECT_EQ(t.insert(longKey, longOwner, longExtra), InsertResult::added);
        EXPECT_EQ(t.find(longKey)->extra(), longExtra);
        t.release();
        EXPECT_TRUE(alloc.live.empty());
    }
}

TEST(KeyTable, ReserveFailureLeavesAGrowableTable) {
    TestAllocator alloc;
    KeyTable t(alloc.handle);
    alloc.failNth(2);  // the entries block of the reserve
    EXPECT_FALSE(t.reserve(1000));
    EXPECT_TRUE(alloc.live.empty());
    EXPECT_EQ(t.slotCount(), 0u);
    EXPECT_EQ(t.find("a"), nullptr);
    for (std::size_t i = 0; i < 1000; ++i)
        ASSERT_EQ(t.insert(hexKey(i), "o", ""), InsertResult::added);
    for (std::size_t i = 0; i < 1000; ++i) ASSERT_NE(t.find(hexKey(i)), nullptr);
    t.release();
    EXPECT_TRUE(alloc.live.empty());
}

TEST(KeyTable, HashSpreadsSimilarKeys) {
    // Keys differing in one byte anywhere must not collide, or lookups degrade to scans.
    const std::string base(64, '0');
    std::set<std::uint64_t> hashes;
    std::set<std::uint64_t> buckets;
    for (std::size_t pos = 0; pos < base.size(); ++pos) {
        for (char c : std::string("123456789abcdef")) {
            std::string k = base;
            k[pos] = c;
            hashes.insert(hashKey(k));
            buckets.insert(hashKey(k) & 1023);
        }
    }
    EXPECT_EQ(hashes.size(), 64u * 15u);
    EXPECT_GT(buckets.size(), 550u);  // 960 keys into 1024 buckets: ~627 expected if uniform
    // Length is part of the hash: zero bytes do not vanish.
    EXPECT_NE(hashKey("a"), hashKey("a\0"s));
    EXPECT_NE(hashKey(std::string(8, '\0')), hashKey(std::string(16, '\0')));
}

}  // namespace
}  // namespace vg
