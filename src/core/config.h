// Command line and the configuration file: the four settings the daemon reads.
#pragma once

#include <sys/types.h>
#include <cstdint>
#include <string_view>

#include "core/allocator.h"
#include "log/result.h"

namespace vg {

enum class HashAlgorithm : std::uint8_t { sha256 = 0, none = 1 };

inline constexpr std::string_view kDefaultConfigPath = "/usr/local/etc/vellumgard.conf";
inline constexpr std::string_view kDefaultSocket = "/var/run/vellumgard.sock";
inline constexpr std::string_view kDefaultCacheDir = "/var/db/vellumgard";
inline constexpr mode_t kDefaultSocketMode = 0666;
inline constexpr std::size_t kConfigFileLimit = 65536;

struct Config {
    std::string_view socket = kDefaultSocket;
    std::string_view cache_dir = kDefaultCacheDir;
    mode_t socket_mode = kDefaultSocketMode;
    HashAlgorithm hash_algorithm = HashAlgorithm::sha256;

    // Copies of values taken from the file; the views above point into them.
    OwnedBytes socketStorage;
    OwnedBytes cacheDirStorage;
};

// The value after the first "-c" among argv[1..], or the default path.
std::string_view chooseConfigPath(int argc, const char* const* argv) noexcept;

// Reads, parses and validates the file. A missing file writes its own line and
// ends the process with status 1 (`onNotFound` stands in for that in tests).
Result<Config> loadConfig(std::string_view path, const Allocator& alloc = processAllocator(),
                          void (*onNotFound)() = nullptr) noexcept;

// Applies the settings of a configuration text to `cfg` (no logging of the
// loaded line, no validation of empty settings); loadConfig's parsing step.
Status parseConfigText(Config& cfg, std::string_view text,
                       const Allocator& alloc = processAllocator()) noexcept;

// Octal with optional sign and '_' separators, at most 07777.
Result<mode_t> parseSocketMode(std::string_view value) noexcept;

}  // namespace vg
