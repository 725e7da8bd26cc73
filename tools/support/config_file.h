// The daemon's configuration file as the operator tools read it: through the
// daemon's own parser, with what that parser passes over in silence.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/config.h"
#include "keycache/keys_file.h"
#include "support/failure.h"

namespace vg::tools {

// The configuration file the tools read without -c: the service files' one
// under the install prefix, where the daemon's own default is fixed.
inline constexpr std::string_view kToolsConfigPath = VG_TOOLS_CONFIG;

// Something in the file worth an administrator's attention; `line` is 0 for
// the file as a whole. `stopsDaemon`: the daemon refuses to start over it.
// `unsettled`: a known key whose setting on this line does not take (an
// invalid value, or a line the parser passes over), so whatever follows
// from the value left in its place says nothing about the file.
struct ConfigFinding {
    std::size_t line = 0;
    std::string text;
    bool stopsDaemon = false;
    std::string_view unsettled;
};

// The line of the setting in force for each of kConfigKeys, in that order;
// 0 where the built-in default stands.
using ConfigLines = std::array<std::size_t, kConfigKeys.size()>;

// The entry of `lines` for `key`, one of kConfigKeys.
std::size_t lineOf(const ConfigLines& lines, std::string_view key);

// Parses `text` into `cfg` as the daemon would, except that an invalid value
// is reported and skipped instead of ending the parse, so every problem is
// found at once. Also reported, in line order: unknown keys in [sasl] (with
// the nearest known key when one is close), a key set twice, a value holding
// a comment, a relative path, a byte order mark, a header meant as [sasl]
// that is not exactly that, settings outside [sasl], and empty quoted
// socket and cache_dir. `lines`, when given, receives ConfigLines.
std::vector<ConfigFinding> readConfigText(std::string_view text, Config& cfg,
                                          ConfigLines* lines = nullptr);

// The settings a tool takes from the configuration file.
struct ToolSettings {
    std::string path;  // the file read, or empty when none was
    std::string socket{kDefaultSocket};
    std::string cacheDir{kDefaultCacheDir};
    HashAlgorithm hashAlgorithm = HashAlgorithm::sha256;

    std::string keysFile() const { return cacheDir + std::string(kKeysName); }
};

// Reads the file given with -c (`given`, nullptr when none was) or else
// kToolsConfigPath when it exists. A file that cannot be read, or on
// which the daemon would not start, is a Failure with `status`.
Failure loadToolSettings(const char* given, int status, ToolSettings& out);

}  // namespace vg::tools
