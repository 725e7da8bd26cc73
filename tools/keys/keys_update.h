// The one way vellumgard-key changes a keys file: under a lock on its
// directory, as a complete new file renamed over the old one, keeping the
// old file's owner, group and mode.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "support/failure.h"
#include "support/secret.h"

namespace vg::tools {

inline constexpr int kExitFailed = 1;   // I/O failure, findings, or nothing to do
inline constexpr int kExitRefused = 2;  // refused input; nothing changed
inline constexpr int kExitUsage = 64;   // as EX_USAGE

struct KeysUpdate {
    // Appends the new content to `out` for the current one (empty when the
    // file does not exist yet). `out` has room for the current content and
    // `growth` bytes more. A Failure leaves the file as it is.
    std::function<Failure(std::string_view current, SecretBuffer& out)> rewrite;
    std::size_t growth = 0;
};

Failure updateKeysFile(const std::string& path, const KeysUpdate& update);

}  // namespace vg::tools
