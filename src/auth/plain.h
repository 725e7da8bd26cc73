// The PLAIN credential check: base64, PLAIN split, key derivation and lookup.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/config.h"

namespace vg {

class KeyCache;

// The decoded PLAIN message never exceeds this; two NULs precede the password.
inline constexpr std::size_t kDecodeBufferSize = 1024;
inline constexpr std::size_t kMaxPasswordSize = kDecodeBufferSize - 2;
// A sha256 key: the digest in lowercase hexadecimal.
inline constexpr std::size_t kHexKeySize = 64;

// `text` is the owner (a reference into the key table) when `failed` is
// false, otherwise one of the fixed reason literals.
struct AuthOutcome {
    bool failed;
    std::string_view text;
};

// Fixed storage for one check: the decoded PLAIN message and the key.
struct PlainScratch {
    unsigned char decoded[kDecodeBufferSize];
    char hexKey[kHexKeySize];
};

// value: the bytes after "resp=" of the last resp= parameter, or std::nullopt
// when the request had none. Allocates nothing; every credential byte it
// writes into `scratch` is wiped before it returns.
AuthOutcome checkPlain(std::optional<std::string_view> value, KeyCache& cache,
                       PlainScratch& scratch) noexcept;
// The same with the process's one scratch: the daemon has one thread.
AuthOutcome checkPlain(std::optional<std::string_view> value, KeyCache& cache) noexcept;

// The lookup key for `password`: its digest written into `hex` for sha256,
// the password itself for none. Leaves no copy of the digest behind.
std::string_view deriveKey(std::string_view password, HashAlgorithm algorithm,
                           char (&hex)[kHexKeySize]) noexcept;

// Initialises the crypto library once; false when that failed. Called at
// start-up before the first check.
bool initCrypto() noexcept;

}  // namespace vg
