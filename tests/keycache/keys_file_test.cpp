// The keys-file grammar, checked on the line reader and end to end through a
// reload of a real file: which lines load, with what key, owner and extra.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "keycache/key_cache.h"
#include "keycache/keys_file.h"
#include "support/capture_stderr.h"

namespace vg {
namespace {

using namespace std::string_literals;

struct Line {
    std::string key, owner, extra;
    bool operator==(const Line&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Line& l) {
    return os << "{" << testing::PrintToString(l.key) << ", " << testing::PrintToString(l.owner)
              << ", " << testing::PrintToString(l.extra) << "}";
}

struct Case {
    const char* name;
    std::string text;
    std::vector<Line> lines;  // accepted lines in file order
};

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"key tab owner", "k\to\n", {{"k", "o", ""}}},
        {"three fields", "k\to\tx\n", {{"k", "o", "x"}}},
        {"fourth field ignored", "k\to\tx\ty\n", {{"k", "o", "x"}}},
        {"fourth and fifth ignored", "k\to\tx\ty\tz\n", {{"k", "o", "x"}}},
        {"trailing tab trimmed", "k\to\t\n", {{"k", "o", ""}}},
        {"empty extra then fourth", "k\to\t\tz\n", {{"k", "o", ""}}},
        {"key alone", "k\n", {}},
        {"key and tab", "k\t\n", {}},
        {"tab and owner", "\to\n", {}},
        {"two tabs empty owner", "k\t\to\n", {}},
        {"only the ends trimmed", "  \tk\to  \n", {{"k", "o", ""}}},
        {"space before tab kept", "k \to\n", {{"k ", "o", ""}}},
        {"space after tab kept", "k\t o\t x\n", {{"k", " o", " x"}}},
        {"comment with tab", "# k\to\n", {}},
        {"indented comment", "  #k\to\n", {}},
        {"hash ends key", "k#\to\n", {{"k#", "o", ""}}},
        {"hash in owner", "k\t#o\n", {{"k", "#o", ""}}},
        {"blank and whitespace lines", "\n\n  \r\n\f\v\n\t\n", {}},
        {"crlf", "a\tb\r\nc\td\r\n", {{"a", "b", ""}, {"c", "d", ""}}},
        {"cr before tab stays", "a\r\tb\n", {{"a\r", "b", ""}}},
        {"cr inside owner stays", "a\tb\rc\n", {{"a", "b\rc", ""}}},
        {"last line without lf", "a\tb\nc\td", {{"a", "b", ""}, {"c", "d", ""}}},
        {"single line without lf", "a\tb", {{"a", "b", ""}}},
        {"nul bytes", "k\0y\to\0\t\0\n"s, {{"k\0y"s, "o\0"s, "\0"s}}},
        {"high bytes", "\xff\xfe\t\x80\n", {{"\xff\xfe", "\x80", ""}}},
        {"duplicate keys", "a\t1\nb\t2\na\t3\n", {{"a", "1", ""}, {"b", "2", ""}, {"a", "3", ""}}},
        {"empty file", "", {}},
        {"lone lf", "\n", {}},
        {"vt ff trimmed", "\v\fk\to\f\v\n", {{"k", "o", ""}}},
        {"mixed",
         "# header\na\t1\n\nbroken\nb\t2\tx\n  \nc\t\t3\n",
         {{"a", "1", ""}, {"b", "2", "x"}}},
    };
    return all;
}

TEST(KeysFile, ReaderAcceptsAndSkipsLines) {
    for (const Case& c : cases()) {
        std::vector<Line> got;
        KeyLineReader reader(c.text);
        for (KeyLine l; reader.next(l);) {
            got.push_back({std::string(l.key), std::string(l.owner), std::string(l.extra)});
        }
        EXPECT_EQ(got, c.lines) << c.name;
        // The table is sized from this count, so it must match the reader exactly.
        EXPECT_EQ(countKeyLines(c.text), c.lines.size()) << c.name;
    }
}

TEST(KeysFile, ReloadLoadsWhatTheGrammarAccepts) {
    test::TempDir dir;
    for (const Case& c : cases()) {
        dir.write("keys", c.text);
        KeyCache cache;
        cache.init(dir.path(), HashAlgorithm::sha256);
        std::string log;
        {
            test::CaptureStderr err;
            ASSERT_TRUE(cache.reload().ok()) << c.name;
            log = err.text();
        }
        // Last line wins for a repeated key; the "reloaded" count is of lines.
        std::map<std::string, Line> expected;
        for (const Line& l : c.lines) expected[l.key] = l;
        EXPECT_EQ(log, "info(keycache): reloaded " + std::to_string(c.lines.size()) +
                           " key(s) (generation 1)\n")
            << c.name;
        cache.lock();
        EXPECT_EQ(cache.keyCount(), expected.size()) << c.name;
        for (const auto& [key, line] : expected) {
            const KeyEntry* e = cache.lookup(key);
            ASSERT_NE(e, nullptr) << c.name;
            EXPECT_EQ(e->key(), line.key) << c.name;
            EXPECT_EQ(e->owner(), line.owner) << c.name;
            EXPECT_EQ(e->extra(), line.extra) << c.name;
        }
        cache.unlock();
        cache.deinit();
    }
}

}  // namespace
}  // namespace vg
