// The PLAIN credential check: the six checks in their fixed order, then the
// key lookup and its log line.
#include "auth/plain.h"

#include <sodium.h>
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "core/config.h"
#include "keycache/key_cache.h"
#include "log/log.h"

namespace vg {

namespace {

constexpr std::size_t kDigestSize = crypto_hash_sha256_BYTES;
static_assert(kHexKeySize == 2 * kDigestSize);

constexpr std::string_view kMissingCredentials = "missing credentials";
constexpr std::string_view kInvalidBase64 = "invalid base64";
constexpr std::string_view kTooLong = "credentials too long";
constexpr std::string_view kMalformed = "malformed PLAIN";
constexpr std::string_view kEmptyPassword = "empty password";
constexpr std::string_view kAuthFailed = "authentication failed";

PlainScratch gScratch;

constexpr char kHexDigits[] = "0123456789abcdef";

void toLowerHex(const unsigned char* digest, char* out) noexcept {
    for (std::size_t i = 0; i < kDigestSize; ++i) {
        out[2 * i] = kHexDigits[digest[i] >> 4];
        out[2 * i + 1] = kHexDigits[digest[i] & 0x0F];
    }
}

// The library's decoder takes bytes above 0x7F for alphabet characters (it
// reads them as negative values), so they are refused before it runs.
bool hasNonAscii(std::string_view text) noexcept {
    unsigned char bits = 0;
    for (char c : text) bits |= static_cast<unsigned char>(c);
    return (bits & 0x80) != 0;
}

// Wipes what the check wrote, on whichever path it leaves.
struct Scrub {
    explicit Scrub(PlainScratch& s) noexcept : scratch(s) {}
    Scrub(const Scrub&) = delete;
    Scrub& operator=(const Scrub&) = delete;
    ~Scrub() { wipe(); }
    void wipe() noexcept {
        if (decodedBytes != 0) sodium_memzero(scratch.decoded, decodedBytes);
        if (hashed) sodium_memzero(scratch.hexKey, sizeof(scratch.hexKey));
        decodedBytes = 0;
        hashed = false;
    }

    PlainScratch& scratch;
    std::size_t decodedBytes = 0;  // of `decoded`, that the decoder may have written
    bool hashed = false;
};

}  // namespace

std::string_view deriveKey(std::string_view password, HashAlgorithm algorithm,
                           char (&hex)[kHexKeySize]) noexcept {
    if (algorithm == HashAlgorithm::none) return password;
    unsigned char digest[kDigestSize];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(password.data()),
                       password.size());
    toLowerHex(digest, hex);
    sodium_memzero(digest, sizeof(digest));
    return {hex, kHexKeySize};
}

bool initCrypto() noexcept {
    static const bool ok = sodium_init() >= 0;
    return ok;
}

AuthOutcome checkPlain(std::optional<std::string_view> value, KeyCache& cache) noexcept {
    return checkPlain(value, cache, gScratch);
}

AuthOutcome checkPlain(std::optional<std::string_view> value, KeyCache& cache,
                       PlainScratch& scratch) noexcept {
    if (!value) return {true, kMissingCredentials};
    const std::string_view b64 = *value;
    const std::size_t length = b64.size();
    if (length % 4 != 0) return {true, kInvalidBase64};

    // The limit is judged on the encoded text alone, before anything is decoded.
    std::size_t estimate = (length / 4) * 3;
    if (length != 0) {
        if (b64[length - 1] == '=') --estimate;
        if (b64[length - 2] == '=') --estimate;
    }
    if (estimate > kDecodeBufferSize) return {true, kTooLong};

    if (hasNonAscii(b64)) return {true, kInvalidBase64};

    Scrub scrub(scratch);
    std::size_t decodedLength = 0;
    if (length != 0) {
        // A rejected value may still have left bytes behind: wipe all the
        // decoder could have written (three bytes per group at most).
        scrub.decodedBytes = std::min((length / 4) * 3, kDecodeBufferSize);
        const char* end = nullptr;
        // The decoder rejects non-zero spare bits, so only canonical
        // encodings pass; stopping early shows as `end` short of the input.
        if (sodium_base642bin(scratch.decoded, kDecodeBufferSize, b64.data(), length, nullptr,
                              &decodedLength, &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
            end != b64.data() + length || decodedLength != estimate) {
            return {true, kInvalidBase64};
        }
    }

    const unsigned char* decoded = scratch.decoded;
    const auto* first = static_cast<const unsigned char*>(std::memchr(decoded, 0, decodedLength));
    if (first == nullptr) return {true, kMalformed};
    const unsigned char* afterFirst = first + 1;
    const unsigned char* decodedEnd = decoded + decodedLength;
    const auto* second = static_cast<const unsigned char*>(
        std::memchr(afterFirst, 0, static_cast<std::size_t>(decodedEnd - afterFirst)));
    if (second == nullptr) return {true, kMalformed};
    const unsigned char* password = second + 1;
    const auto passwordLength = static_cast<std::size_t>(decodedEnd - password);
    if (passwordLength == 0) return {true, kEmptyPassword};

    scrub.hashed = cache.hash_algorithm == HashAlgorithm::sha256;
    const std::string_view key =
        deriveKey(std::string_view(reinterpret_cast<const char*>(password), passwordLength),
                  cache.hash_algorithm, scratch.hexKey);

    std::string_view owner;
    cache.lock();
    const KeyEntry* entry = cache.lookup(key);
    const bool found = entry != nullptr;
    if (found) owner = entry->owner();
    cache.unlock();
    scrub.wipe();  // the key is no longer needed, so it does not outlast the log write

    if (!found) {
        logLine(LogLevel::info, LogScope::sasl, "auth FAIL: key not found");
        return {true, kAuthFailed};
    }
    logLine(LogLevel::info, LogScope::sasl, "auth OK: owner=", owner);
    return {false, owner};
}

}  // namespace vg
