// Command line and the configuration file: the four settings the daemon reads.
#pragma once

#include <sys/types.h>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/allocator.h"
#include "core/files.h"
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

// "sha256" or "none", exactly; InvalidValue for anything else, without a log line.
Result<HashAlgorithm> parseHashAlgorithm(std::string_view value) noexcept;

// The keys of [sasl] that mean something; every other key is ignored.
inline constexpr std::array<std::string_view, 4> kConfigKeys = {"socket", "socket_mode",
                                                                "cache_dir", "hash_algorithm"};

// A "key = value" line inside [sasl]: both trimmed, the value still quoted
// and possibly empty; `line` counts from 1.
struct ConfigEntry {
    std::string_view key;
    std::string_view value;
    std::size_t line;
};

// A line of the text that the parser looks at: a section header, or a line
// with '=' in it, inside [sasl] or not. Blank lines, comments and other lines
// are passed over.
struct ConfigLine {
    std::size_t number;
    std::string_view text;  // trimmed
    bool header;
    bool inSasl;             // a header: it is [sasl]; a setting: it stands under [sasl]
    std::string_view key;    // settings only, trimmed
    std::string_view value;  // settings only, trimmed
};

// Calls `visit(const ConfigLine&)`, which returns a Status, for every such
// line in order, and stops at the first failure. The one walk of the file:
// the parser keeps the settings under [sasl], and the operator tools the
// rest too, to report what the parser skips without a word.
template <typename Visit>
Status forEachConfigLine(std::string_view text, Visit&& visit) noexcept {
    bool inSasl = false;
    for (std::size_t number = 1;; ++number) {
        const std::size_t nl = text.find('\n');
        const std::string_view line = trimWhitespace(text.substr(0, nl));
        if (!line.empty() && line.front() != '#' && line.front() != ';') {
            if (line.front() == '[') {
                inSasl = line == "[sasl]";
                if (Status st = visit(ConfigLine{number, line, true, inSasl, {}, {}}); !st) {
                    return st;
                }
            } else if (const std::size_t eq = line.find('='); eq != line.npos) {
                const ConfigLine setting{number,
                                         line,
                                         false,
                                         inSasl,
                                         trimWhitespace(line.substr(0, eq)),
                                         trimWhitespace(line.substr(eq + 1))};
                if (Status st = visit(setting); !st) return st;
            }
        }
        if (nl == std::string_view::npos) return {};
        text.remove_prefix(nl + 1);
    }
}

// Calls `visit(const ConfigEntry&)` for every setting under [sasl], in order,
// and stops at the first failure: the walk parseConfigText makes.
template <typename Visit>
Status forEachConfigEntry(std::string_view text, Visit&& visit) noexcept {
    return forEachConfigLine(text, [&](const ConfigLine& line) -> Status {
        if (line.header || !line.inSasl) return {};
        return visit(ConfigEntry{line.key, line.value, line.number});
    });
}

// One pair of matching quotes around the whole value removed, once.
std::string_view stripConfigQuotes(std::string_view value) noexcept;

// Applies one entry's key and unquoted, non-empty value to `cfg`, as the
// daemon does: unknown keys are ignored; an invalid hash_algorithm or a path
// with a NUL byte writes its log line.
Status applyConfigSetting(Config& cfg, std::string_view key, std::string_view value,
                          const Allocator& alloc = processAllocator()) noexcept;

}  // namespace vg
