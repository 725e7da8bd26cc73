// The PLAIN credential check: base64, PLAIN split, key derivation and lookup.
#pragma once

#include <optional>
#include <string_view>

namespace vg {

class KeyCache;

// `text` is the owner (a reference into the key table) when `failed` is
// false, otherwise one of the fixed reason literals.
struct AuthOutcome {
    bool failed;
    std::string_view text;
};

// value: the bytes after "resp=" of the last resp= parameter, or std::nullopt
// when the request had none. Allocates nothing; wipes every credential byte it
// produced before it returns.
AuthOutcome checkPlain(std::optional<std::string_view> value, KeyCache& cache) noexcept;

// Initialises the crypto library once; false when that failed. Called at
// start-up before the first check.
bool initCrypto() noexcept;

}  // namespace vg
