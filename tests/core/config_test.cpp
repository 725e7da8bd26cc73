// Configuration: command-line choice, parsing rules, socket_mode, file limits.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/files.h"
#include "support/capture_stderr.h"

namespace vg {
namespace {

using test::CaptureStderr;
using test::TempDir;

TEST(ChooseConfigPath, PicksValueAfterFirstDashC) {
    struct Case {
        std::vector<const char*> args;
        std::string_view expected;
    };
    const Case cases[] = {
        {{"vellumgard"}, kDefaultConfigPath},       {{"vellumgard", "x", "y"}, kDefaultConfigPath},
        {{"vellumgard", "-c"}, kDefaultConfigPath}, {{"vellumgard", "-c", "a", "-c", "b"}, "a"},
        {{"vellumgard", "x", "-c", "a"}, "a"},      {{"vellumgard", "-ca"}, kDefaultConfigPath},
        {{"vellumgard", "-c", "-c"}, "-c"},         {{"vellumgard", "-c", ""}, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(chooseConfigPath(static_cast<int>(c.args.size()), c.args.data()), c.expected)
            << "args count " << c.args.size();
    }
}

TEST(ParseSocketMode, AcceptsOctalWithSignsAndSeparators) {
    struct Case {
        const char* text;
        int mode;  // -1: InvalidValue
    };
    const Case cases[] = {
        {"0", 0},
        {"-0", 0},
        {"-0_0", 0},
        {"7777", 07777},
        {"6__6_0", 0660},
        {"666", 0666},
        {"0666", 0666},
        {"0_666", 0666},
        {"+0666", 0666},
        {"0000000660", 0660},
        {"10000", -1},
        {"0o660", -1},
        {"_660", -1},
        {"660_", -1},
        {"-7", -1},
        {"0x1b6", -1},
        {"438", -1},
        {"", -1},
        {"-", -1},
        {"+", -1},
        {"-_0", -1},
        {"-0_", -1},
        {"+-0", -1},
        {"66 6", -1},
        {"77777777777777777777", -1},
    };
    for (const Case& c : cases) {
        Result<mode_t> r = parseSocketMode(c.text);
        if (c.mode < 0) {
            EXPECT_FALSE(r.ok()) << c.text;
            if (!r.ok()) {
                EXPECT_EQ(r.error(), ErrorCode::InvalidValue) << c.text;
            }
        } else {
            ASSERT_TRUE(r.ok()) << c.text;
            EXPECT_EQ(r.value(), static_cast<mode_t>(c.mode)) << c.text;
        }
    }
}

TEST(TrimWhitespace, TrimsExactlySixBytes) {
    EXPECT_EQ(trimWhitespace(" \t\n\r\v\fab c\f\v\r\n\t "), "ab c");
    EXPECT_EQ(trimWhitespace("\xa0x\xa0"), "\xa0x\xa0");
    EXPECT_EQ(trimWhitespace(std::string_view("\0x\0", 3)), std::string_view("\0x\0", 3));
    EXPECT_EQ(trimWhitespace("   "), "");
}

struct ParseCase {
    const char* name;
    std::string text;
    std::string socket;
    std::string cacheDir;
    mode_t mode;
    HashAlgorithm hash;
};

// Named in test listings by the case, not by the struct's bytes (which hold
// pointers and so differ from build to build).
void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.name;
}

class ConfigParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ConfigParse, GivesSettings) {
    const ParseCase& c = GetParam();
    TempDir dir;
    std::string path = dir.write("vg.conf", c.text);
    CaptureStderr err;
    Result<Config> cfg = loadConfig(path);
    ASSERT_TRUE(cfg.ok()) << errorName(cfg.error());
    EXPECT_EQ(cfg->socket, c.socket);
    EXPECT_EQ(cfg->cache_dir, c.cacheDir);
    EXPECT_EQ(cfg->socket_mode, c.mode);
    EXPECT_EQ(cfg->hash_algorithm, c.hash);
    EXPECT_EQ(err.text(), "info(config): loaded config from " + path + "\n");
}

const std::string kSock(kDefaultSocket);
const std::string kDir(kDefaultCacheDir);
constexpr auto kSha = HashAlgorithm::sha256;

INSTANTIATE_TEST_SUITE_P(
    Rules, ConfigParse,
    ::testing::Values(
        ParseCase{"empty", "", kSock, kDir, 0666, kSha},
        ParseCase{"no_header", "socket = /tmp/a.sock\n", kSock, kDir, 0666, kSha},
        ParseCase{"basic", "[sasl]\nsocket=/tmp/a.sock\ncache_dir=/c\n", "/tmp/a.sock", "/c", 0666,
                  kSha},
        ParseCase{"other_section_off", "[sasl]\n[other]\nsocket=/x\n", kSock, kDir, 0666, kSha},
        ParseCase{"second_sasl_on", "[sasl]\n[other]\n[sasl]\nsocket=/x\n", "/x", kDir, 0666, kSha},
        ParseCase{
            "header_variants_off",
            "[sasl]\n[SASL]\nsocket=/a\n[sasl]\n[ sasl ]\nsocket=/b\n[sasl]\n[sasl\nsocket=/c\n"
            "[sasl]\n[sasl] x\nsocket=/d\n",
            kSock, kDir, 0666, kSha},
        ParseCase{"header_trimmed", "  [sasl]  \nsocket=/x\n", "/x", kDir, 0666, kSha},
        ParseCase{"crlf_and_spaces", "[sasl]\r\n  socket_mode  =  0660  \r\n", kSock, kDir, 0660,
                  kSha},
        ParseCase{"comments", "[sasl]\n# socket=/a\n; socket=/b\n  #x=1\n", kSock, kDir, 0666,
                  kSha},
        ParseCase{"no_trailing_comment", "[sasl]\ncache_dir = /a # comment\n", kSock,
                  "/a # comment", 0666, kSha},
        ParseCase{"single_quotes", "[sasl]\nsocket='/q s'\n", "/q s", kDir, 0666, kSha},
        ParseCase{"double_quotes_inner_spaces", "[sasl]\nsocket=\" /q \"\n", " /q ", kDir, 0666,
                  kSha},
        ParseCase{"mismatched_quotes", "[sasl]\nsocket='/q\"\n", "'/q\"", kDir, 0666, kSha},
        ParseCase{"quotes_once", "[sasl]\nsocket=''/q''\n", "'/q'", kDir, 0666, kSha},
        ParseCase{"lone_quote", "[sasl]\nsocket='\n", "'", kDir, 0666, kSha},
        ParseCase{"empty_value_keeps", "[sasl]\nsocket=/a\nsocket=\nsocket =   \n", "/a", kDir,
                  0666, kSha},
        ParseCase{"no_equals_skipped", "[sasl]\nsocket\n", kSock, kDir, 0666, kSha},
        ParseCase{"value_with_equals", "[sasl]\nsocket=/a=b\n", "/a=b", kDir, 0666, kSha},
        ParseCase{"case_sensitive_key", "[sasl]\nSocket=/a\n", kSock, kDir, 0666, kSha},
        ParseCase{"unknown_and_empty_key", "[sasl]\nfoo=bar\n=baz\n", kSock, kDir, 0666, kSha},
        ParseCase{"last_wins", "[sasl]\nsocket=/a\nsocket=/b\nsocket_mode=600\nsocket_mode=640\n",
                  "/b", kDir, 0640, kSha},
        ParseCase{"hash_none_quoted", "[sasl]\nhash_algorithm='none'\n", kSock, kDir, 0666,
                  HashAlgorithm::none},
        ParseCase{"hash_sha256", "[sasl]\nhash_algorithm=none\nhash_algorithm=sha256\n", kSock,
                  kDir, 0666, kSha},
        ParseCase{"last_line_without_lf", "[sasl]\nsocket=/z", "/z", kDir, 0666, kSha},
        ParseCase{"setuid_bits", "[sasl]\nsocket_mode=4755\n", kSock, kDir, 04755, kSha}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

struct FailCase {
    const char* name;
    std::string text;
    ErrorCode error;
    std::string log;  // expected stderr; "{loaded}" marks the loaded-config line
};

void PrintTo(const FailCase& c, std::ostream* os) {
    *os << c.name;
}

class ConfigFail : public ::testing::TestWithParam<FailCase> {};

TEST_P(ConfigFail, StopsLoading) {
    const FailCase& c = GetParam();
    TempDir dir;
    std::string path = dir.write("vg.conf", c.text);
    CaptureStderr err;
    Result<Config> cfg = loadConfig(path);
    ASSERT_FALSE(cfg.ok());
    EXPECT_EQ(cfg.error(), c.error);
    std::string expected = c.log;
    if (expected == "{loaded}") expected = "info(config): loaded config from " + path + "\n";
    EXPECT_EQ(err.text(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ConfigFail,
    ::testing::Values(
        FailCase{"octal_prefix", "[sasl]\nsocket_mode = 0o660\n", ErrorCode::InvalidValue, ""},
        FailCase{"bad_mode_then_good", "[sasl]\nsocket_mode=8\nsocket_mode=600\n",
                 ErrorCode::InvalidValue, ""},
        FailCase{"hash_upper", "[sasl]\nhash_algorithm = SHA256\n", ErrorCode::InvalidValue,
                 "error(config): invalid hash_algorithm 'SHA256' (expected 'sha256' or 'none')\n"},
        FailCase{"hash_after_quotes", "[sasl]\nhash_algorithm=\"md5\"\n", ErrorCode::InvalidValue,
                 "error(config): invalid hash_algorithm 'md5' (expected 'sha256' or 'none')\n"},
        FailCase{"empty_quoted_socket", "[sasl]\nsocket=\"\"\n", ErrorCode::MissingSocket,
                 "{loaded}"},
        FailCase{"empty_quoted_cache_dir", "[sasl]\ncache_dir=''\n", ErrorCode::MissingCacheDir,
                 "{loaded}"},
        FailCase{"nul_in_socket", std::string("[sasl]\nsocket=\0/x.sock\n", 23),
                 ErrorCode::BadPathName, "error(config): socket contains a NUL byte\n"},
        FailCase{"nul_in_cache_dir", std::string("[sasl]\ncache_dir=/var/db\0x\n", 27),
                 ErrorCode::BadPathName, "error(config): cache_dir contains a NUL byte\n"}),
    [](const ::testing::TestParamInfo<FailCase>& info) { return std::string(info.param.name); });

int gNotFoundCalls = 0;
void countNotFound() {
    ++gNotFoundCalls;
}

TEST(LoadConfig, MissingFileWritesOnlyItsLine) {
    TempDir dir;
    std::string path = dir.file("absent.conf");
    CaptureStderr err;
    gNotFoundCalls = 0;
    Result<Config> cfg = loadConfig(path, processAllocator(), countNotFound);
    EXPECT_FALSE(cfg.ok());
    EXPECT_EQ(gNotFoundCalls, 1);
    EXPECT_EQ(err.text(), "error(config): config file not found: " + path + "\n");
}

TEST(LoadConfig, SizeLimitIs65536Bytes) {
    TempDir dir;
    // A comment line padded to the exact size, then a setting that must apply.
    std::string tail = "\n[sasl]\nsocket=/ok\n";
    // Built in place: g++ 12 at -O3 warns falsely (-Wrestrict) on "#" + std::string.
    std::string body(kConfigFileLimit - tail.size(), 'x');
    body[0] = '#';
    body += tail;
    ASSERT_EQ(body.size(), kConfigFileLimit);
    std::string fits = dir.write("fits.conf", body);
    std::string over = dir.write("over.conf", body + "\n");
    CaptureStderr err;
    Result<Config> ok = loadConfig(fits);
    ASSERT_TRUE(ok.ok());
    EXPECT_EQ(ok->socket, "/ok");
    Result<Config> big = loadConfig(over);
    ASSERT_FALSE(big.ok());
    EXPECT_EQ(big.error(), ErrorCode::FileTooBig);
}

TEST(LoadConfig, LongPathIsNameTooLongNotNotFound) {
    std::string path(1024, 'a');
    CaptureStderr err;
    Result<Config> cfg = loadConfig(path, processAllocator(), countNotFound);
    ASSERT_FALSE(cfg.ok());
    EXPECT_EQ(cfg.error(), ErrorCode::NameTooLong);
    EXPECT_EQ(err.text(), "");
}

TEST(LoadConfig, DirectoryIsAReadError) {
    TempDir dir;
    CaptureStderr err;
    Result<Config> cfg = loadConfig(dir.path());
    ASSERT_FALSE(cfg.ok());
    EXPECT_EQ(cfg.error(), ErrorCode::IsDir);
}

}  // namespace
}  // namespace vg
