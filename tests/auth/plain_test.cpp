// The PLAIN credential check against a key cache loaded from a real keys
// file: every reason, the base64 and size boundaries, key derivation, log lines.
#include <gtest/gtest.h>

#include <sodium.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "auth/plain.h"
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

std::string upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

std::string plainMessage(const std::string& authz, const std::string& authn,
                         const std::string& pw) {
    return authz + '\0' + authn + '\0' + pw;
}

const std::string kLongest(1022, 'x');  // both NULs first: 1024 decoded bytes

const char* const kOkAlice = "info(sasl): auth OK: owner=alice\n";
const char* const kNotFound = "info(sasl): auth FAIL: key not found\n";

class PlainTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(initCrypto());
        dir_.write("keys", sha256Hex("secret-pw") + "\talice\n" + sha256Hex("pa\0ss"s) +
                               "\tnul-owner\n" + upper(sha256Hex("upper-pw")) + "\tupper\n" +
                               "plain-key\tbob\n" + sha256Hex("plain-key") + "\thashed\textra\n" +
                               kLongest + "\tlongest\n");
        CaptureStderr quiet;  // the reload's own line
        sha_.init(dir_.path(), HashAlgorithm::sha256);
        none_.init(dir_.path(), HashAlgorithm::none);
        ASSERT_TRUE(sha_.reload().ok());
        ASSERT_TRUE(none_.reload().ok());
        ASSERT_EQ(sha_.keyCount(), 6u);
    }
    void TearDown() override {
        sha_.deinit();
        none_.deinit();
    }

    TempDir dir_;
    KeyCache sha_;
    KeyCache none_;
};

struct Case {
    const char* name;
    std::optional<std::string> value;
    bool failed;
    std::string text;
    std::string log;  // exact captured stderr
};

// Every case also proves that nothing of the credential is left in the
// scratch storage (decoded message, digest, hex key) once the check returns.
void expectCase(const Case& c, KeyCache& cache) {
    SCOPED_TRACE(c.name);
    CaptureStderr capture;
    std::optional<std::string_view> value;
    if (c.value) value = std::string_view(*c.value);
    PlainScratch scratch{};
    const AuthOutcome outcome = checkPlain(value, cache, scratch);
    EXPECT_EQ(outcome.failed, c.failed);
    EXPECT_EQ(std::string(outcome.text), c.text);
    EXPECT_EQ(capture.text(), c.log);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&scratch);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof scratch, [](unsigned char b) { return b == 0; }))
        << "credential bytes left in the scratch storage";
}

TEST_F(PlainTest, EveryReasonInOrder) {
    const std::string good = base64(plainMessage("", "alice", "secret-pw"));
    ASSERT_EQ(base64(plainMessage("", "", kLongest)).size(), 1368u);
    ASSERT_EQ(base64(plainMessage("", "", kLongest)).substr(1366), "==");
    const std::vector<Case> cases = {
        {"absent", std::nullopt, true, "missing credentials", ""},
        {"empty value", "", true, "malformed PLAIN", ""},
        {"not multiple of 4", "AAAAA", true, "invalid base64", ""},
        {"good value plus CR", good + "\r", true, "invalid base64", ""},
        {"CR at the end, length 4", "AAA\r", true, "invalid base64", ""},
        {"space", "AA A", true, "invalid base64", ""},
        {"url-safe dash", "AA-A", true, "invalid base64", ""},
        {"url-safe underscore", "AA_A", true, "invalid base64", ""},
        {"url-safe group", "-_-_", true, "invalid base64", ""},
        {"non-ASCII byte last", "AAA\x80", true, "invalid base64", ""},
        {"non-ASCII bytes first",
         "\xC3\xA9"
         "AA",
         true, "invalid base64", ""},
        {"non-ASCII in a later group",
         "AAAAAAAA\xFF"
         "AAA",
         true, "invalid base64", ""},
        {"NUL byte", "AA\0A"s, true, "invalid base64", ""},
        {"spare bits set after two", "AB==", true, "invalid base64", ""},
        {"spare bits clear after two", "AA==", true, "malformed PLAIN", ""},
        {"spare bits set after three", "AAB=", true, "invalid base64", ""},
        {"spare bits clear after three", "AAA=", true, "empty password", ""},
        {"one char and three pads", "A===", true, "invalid base64", ""},
        {"four pads", "====", true, "invalid base64", ""},
        {"pad inside", "AA==AAAA", true, "invalid base64", ""},
        {"pad then char", "AA=A", true, "invalid base64", ""},
        {"pad group before last", "AAAA====AAAA", true, "invalid base64", ""},
        {"2001 chars", std::string(2001, 'A'), true, "invalid base64", ""},
        {"2000 chars", std::string(2000, 'A'), true, "credentials too long", ""},
        {"1368 chars, single pad", std::string(1367, 'A') + "=", true, "credentials too long", ""},
        {"1372 chars, two pads", std::string(1370, 'A') + "==", true, "credentials too long", ""},
        // Estimate exactly 1024: decoded, split and looked up (not in the sha256 table).
        {"1368 chars, two pads", base64(plainMessage("", "", kLongest)), true,
         "authentication failed", kNotFound},
        {"no NUL", base64("hello"), true, "malformed PLAIN", ""},
        {"single NUL", base64("user\0pw"s), true, "malformed PLAIN", ""},
        {"single leading NUL", base64("\0user"s), true, "malformed PLAIN", ""},
        {"ends after second NUL", base64("a\0b\0"s), true, "empty password", ""},
        {"two NULs only", base64("\0\0"s), true, "empty password", ""},
        {"both identities empty", base64(plainMessage("", "", "secret-pw")), false, "alice",
         kOkAlice},
        {"both identities set", base64(plainMessage("admin", "bob", "secret-pw")), false, "alice",
         kOkAlice},
        {"third NUL in password", base64(plainMessage("u", "u", "pa\0ss"s)), false, "nul-owner",
         "info(sasl): auth OK: owner=nul-owner\n"},
        {"password cut at third NUL", base64(plainMessage("u", "u", "pa")), true,
         "authentication failed", kNotFound},
        {"wrong password", base64(plainMessage("", "alice", "secret-px")), true,
         "authentication failed", kNotFound},
        {"uppercase hex in keys file", base64(plainMessage("", "", "upper-pw")), true,
         "authentication failed", kNotFound},
        {"sha256 hashes the password", base64(plainMessage("", "", "plain-key")), false, "hashed",
         "info(sasl): auth OK: owner=hashed\n"},
    };
    for (const Case& c : cases) expectCase(c, sha_);
}

TEST_F(PlainTest, NoneUsesThePasswordItself) {
    const std::vector<Case> cases = {
        {"password is the key", base64(plainMessage("", "", "plain-key")), false, "bob",
         "info(sasl): auth OK: owner=bob\n"},
        {"digest is not computed", base64(plainMessage("", "", sha256Hex("plain-key"))), false,
         "hashed", "info(sasl): auth OK: owner=hashed\n"},
        {"digest of a password is not its key", base64(plainMessage("", "", "secret-pw")), true,
         "authentication failed", kNotFound},
        {"longest password, 1022 bytes", base64(plainMessage("", "", kLongest)), false, "longest",
         "info(sasl): auth OK: owner=longest\n"},
        {"1023 bytes too long", base64(plainMessage("", "", kLongest + "x")), true,
         "credentials too long", ""},
        {"prefix of a key", base64(plainMessage("", "", "plain-ke")), true, "authentication failed",
         kNotFound},
    };
    for (const Case& c : cases) expectCase(c, none_);
}

TEST_F(PlainTest, UserNamesPlayNoPart) {
    for (const char* user : {"alice", "mallory", "", "root"}) {
        SCOPED_TRACE(user);
        CaptureStderr capture;
        const std::string value = base64(plainMessage(user, user, "secret-pw"));
        const AuthOutcome outcome = checkPlain(std::string_view(value), sha_);
        EXPECT_FALSE(outcome.failed);
        EXPECT_EQ(outcome.text, "alice");
        EXPECT_EQ(capture.text(), kOkAlice);
    }
}

TEST_F(PlainTest, OwnerRefersIntoTheTable) {
    const std::string value = base64(plainMessage("", "", "secret-pw"));
    CaptureStderr quiet;
    const AuthOutcome outcome = checkPlain(std::string_view(value), sha_);
    sha_.lock();
    const KeyEntry* entry = sha_.lookup(sha256Hex("secret-pw"));
    sha_.unlock();
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(outcome.text.data(), entry->owner().data());
}

TEST_F(PlainTest, EmptyTableAnswersAuthenticationFailed) {
    TempDir empty;
    KeyCache cache;
    {
        CaptureStderr quiet;  // the keys-file-not-found warning
        cache.init(empty.path(), HashAlgorithm::sha256);
        ASSERT_TRUE(cache.reload().ok());
    }
    expectCase({"empty table", base64(plainMessage("", "", "secret-pw")), true,
                "authentication failed", kNotFound},
               cache);
    cache.deinit();
}

}  // namespace
}  // namespace vg
