// The daemon's configuration file as the operator tools read it.
#include "support/config_file.h"

#include <algorithm>
#include <cerrno>

#include "core/files.h"
#include "support/output.h"

namespace vg::tools {

namespace {

// Edits (insert, delete, substitute) between a and b; the table is tiny.
std::size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0U : 1U)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The known key a typo most likely meant: two edits away at most, letter
// case not counted (keys are case-sensitive, so "Socket" is a typo too).
std::string_view nearestKey(std::string_view key) {
    std::string folded(key);
    std::transform(folded.begin(), folded.end(), folded.begin(), lower);
    std::string_view best;
    std::size_t bestDistance = 3;
    for (std::string_view known : kConfigKeys) {
        const std::size_t d = editDistance(folded, known);
        if (d < bestDistance) {
            best = known;
            bestDistance = d;
        }
    }
    return best;
}

std::string quoted(std::string_view value) {
    // Appended, not "'" + string: g++ 12 at -O3 warns falsely about that
    // (-Wrestrict, GCC bug 105329).
    std::string text(1, '\'');
    text += printable(value);
    text += '\'';
    return text;
}

// Why the daemon refuses this value of a known key, or nothing.
std::string invalidValue(std::string_view key, std::string_view value) {
    if ((key == "socket" || key == "cache_dir") && value.find('\0') != std::string_view::npos) {
        return std::string(key) + " = " + quoted(value) + " holds a NUL byte, which no path can";
    }
    if (key == "socket_mode" && !parseSocketMode(value)) {
        return "socket_mode = " + quoted(value) +
               " is not an octal mode from 0 to 7777 (such as 0660)";
    }
    if (key == "hash_algorithm" && !parseHashAlgorithm(value)) {
        return "hash_algorithm = " + quoted(value) + " is neither 'sha256' nor 'none'";
    }
    return {};
}

}  // namespace

std::vector<ConfigFinding> readConfigText(std::string_view text, Config& cfg) {
    std::vector<ConfigFinding> findings;
    (void)forEachConfigEntry(text, [&](const ConfigEntry& entry) -> Status {
        const bool known =
            std::find(kConfigKeys.begin(), kConfigKeys.end(), entry.key) != kConfigKeys.end();
        if (!known) {
            std::string finding = "unknown setting " + quoted(entry.key) + " in [sasl] is ignored";
            if (std::string_view near = nearestKey(entry.key); !near.empty()) {
                finding += "; did you mean " + std::string(near) + "?";
            }
            findings.push_back({entry.line, finding, false});
            return {};
        }
        if (entry.value.empty()) return {};
        const std::string_view value = stripConfigQuotes(entry.value);
        if (std::string why = invalidValue(entry.key, value); !why.empty()) {
            findings.push_back({entry.line, why + "; the daemon will not start", true});
            return {};
        }
        // Checked above, so this writes no log line; it fails only for memory.
        if (Status st = applyConfigSetting(cfg, entry.key, value); !st) {
            findings.push_back(
                {entry.line, "cannot keep " + std::string(entry.key) + ": out of memory", true});
        }
        return {};
    });
    if (cfg.socket.empty()) {
        findings.push_back(
            {0, "socket is empty (a value of two quotes); the daemon will not start", true});
    }
    if (cfg.cache_dir.empty()) {
        findings.push_back(
            {0, "cache_dir is empty (a value of two quotes); the daemon will not start", true});
    }
    return findings;
}

Failure loadToolSettings(const char* given, int status, ToolSettings& out) {
    const std::string path = given != nullptr ? given : std::string(kDefaultConfigPath);
    Result<OwnedBytes> file = readWholeFile(path, kConfigFileLimit);
    if (!file && given == nullptr && file.error() == ErrorCode::FileNotFound) return {};
    if (!file) {
        return {status, "cannot read the configuration file " + path + ": error." +
                            std::string(errorName(file.error()))};
    }
    Config cfg;
    for (const ConfigFinding& f : readConfigText(file.value().view(), cfg)) {
        if (!f.stopsDaemon) continue;
        std::string message = path + ":";
        if (f.line != 0) message += std::to_string(f.line) + ":";
        message += " ";
        message += f.text;
        message += " (vellumgard-key --check -c " + path + " lists every problem)";
        return {status, message};
    }
    out.path = path;
    out.socket = cfg.socket;
    out.cacheDir = cfg.cache_dir;
    out.hashAlgorithm = cfg.hash_algorithm;
    return {};
}

}  // namespace vg::tools
