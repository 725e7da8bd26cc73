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

// kConfigKeys' own view of `key`, or an empty view for an unknown key.
std::string_view knownKey(std::string_view key) {
    const auto* it = std::find(kConfigKeys.begin(), kConfigKeys.end(), key);
    return it != kConfigKeys.end() ? *it : std::string_view();
}

std::size_t keyIndex(std::string_view known) {
    return static_cast<std::size_t>(std::find(kConfigKeys.begin(), kConfigKeys.end(), known) -
                                    kConfigKeys.begin());
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Where a trailing comment begins inside an unquoted value, blanks before
// it included: a '#' or ';' after a blank, as one used to them writes it.
std::size_t commentStart(std::string_view value) {
    for (std::size_t i = 1; i < value.size(); ++i) {
        if ((value[i] == '#' || value[i] == ';') && isBlank(value[i - 1])) {
            while (isBlank(value[i - 1])) --i;
            return i;
        }
    }
    return std::string_view::npos;
}

// Why a header that is not exactly [sasl] was probably meant to be it, or
// nothing for a header naming another section.
std::string misspeltSaslHeader(std::string_view header) {
    const std::string_view inner = header.substr(1);
    const std::size_t close = inner.find(']');
    const std::string_view name = inner.substr(0, close);
    std::string folded(trimWhitespace(name));
    std::transform(folded.begin(), folded.end(), folded.begin(), lower);
    if (folded != "sasl") return {};
    std::vector<std::string_view> why;
    if (close == std::string_view::npos) why.emplace_back("no closing bracket");
    if (trimWhitespace(name) != name) why.emplace_back("blanks inside the brackets");
    if (trimWhitespace(name) != "sasl") why.emplace_back("other letter case");
    if (close != std::string_view::npos && close + 1 < inner.size())
        why.emplace_back("text after the bracket");
    std::string text = "section header " + quoted(header) + " is not exactly [sasl] (";
    for (std::size_t i = 0; i < why.size(); ++i) {
        if (i != 0) text += ", ";
        text += why[i];
    }
    return text + "), so the daemon ignores the settings under it";
}

// What the parser passes over without a word: a byte order mark, a header
// meant as [sasl], and settings outside [sasl], from the daemon's own walk.
void reportLayout(std::string_view text, std::vector<ConfigFinding>& findings) {
    static constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        const std::string_view first =
            text.substr(0, text.find('\n')).substr(kByteOrderMark.size());
        findings.push_back({1,
                            "the file begins with a UTF-8 byte order mark, which hides " +
                                quoted(trimWhitespace(first)) +
                                " on that line from the daemon; save the file without one",
                            false,
                            {}});
    }
    bool anyHeader = false;
    (void)forEachConfigLine(text, [&](const ConfigLine& line) -> Status {
        if (line.header) {
            anyHeader = true;
            if (std::string why = misspeltSaslHeader(line.text); !line.inSasl && !why.empty()) {
                findings.push_back({line.number, why, false, {}});
            }
        } else if (!line.inSasl) {
            findings.push_back({line.number,
                                "setting " + quoted(line.key) + " is outside [sasl] (" +
                                    (anyHeader ? "under another header" : "before any header") +
                                    ") and is ignored",
                                false, knownKey(line.key)});
        }
        return {};
    });
}

}  // namespace

std::size_t lineOf(const ConfigLines& lines, std::string_view key) {
    return lines.at(keyIndex(key));
}

std::vector<ConfigFinding> readConfigText(std::string_view text, Config& cfg, ConfigLines* lines) {
    std::vector<ConfigFinding> findings;
    reportLayout(text, findings);
    ConfigLines set{};
    (void)forEachConfigEntry(text, [&](const ConfigEntry& entry) -> Status {
        const std::string_view key = knownKey(entry.key);
        if (key.empty()) {
            std::string finding = "unknown setting " + quoted(entry.key) + " in [sasl] is ignored";
            if (std::string_view near = nearestKey(entry.key); !near.empty()) {
                finding += "; did you mean " + std::string(near) + "?";
            }
            findings.push_back({entry.line, finding, false, {}});
            return {};
        }
        if (entry.value.empty()) return {};
        const std::string_view value = stripConfigQuotes(entry.value);
        // A quoted value says where it ends; an unquoted one runs to the end
        // of the line, comment and all.
        if (const std::size_t at = commentStart(value);
            value.size() == entry.value.size() && at != std::string_view::npos) {
            findings.push_back({entry.line,
                                std::string(key) + " = " + quoted(value) + ": the daemon reads " +
                                    quoted(value.substr(at)) +
                                    " as part of the value (a comment is a line of its own)",
                                false,
                                {}});
        }
        if (std::string why = invalidValue(key, value); !why.empty()) {
            findings.push_back({entry.line, why + "; the daemon will not start", true, key});
            return {};
        }
        if ((key == "socket" || key == "cache_dir") && !value.empty() && value.front() != '/') {
            findings.push_back({entry.line,
                                std::string(key) + " = " + quoted(value) +
                                    " is a relative path, which the daemon resolves against "
                                    "the directory it starts in (/ under rc.d or systemd)",
                                false,
                                {}});
        }
        std::size_t& previous = set[keyIndex(key)];
        if (previous != 0) {
            findings.push_back({entry.line,
                                std::string(key) + " is set on lines " + std::to_string(previous) +
                                    " and " + std::to_string(entry.line) +
                                    "; the daemon takes the later one",
                                false,
                                {}});
        }
        previous = entry.line;
        // Checked above, so this writes no log line; it fails only for memory.
        if (Status st = applyConfigSetting(cfg, key, value); !st) {
            findings.push_back(
                {entry.line, "cannot keep " + std::string(key) + ": out of memory", true, key});
        }
        return {};
    });
    if (cfg.socket.empty()) {
        findings.push_back({set[keyIndex("socket")],
                            "socket is empty (a value of two quotes); the daemon will not start",
                            true, "socket"});
    }
    if (cfg.cache_dir.empty()) {
        findings.push_back({set[keyIndex("cache_dir")],
                            "cache_dir is empty (a value of two quotes); the daemon will not start",
                            true, "cache_dir"});
    }
    // A setting outside [sasl] leaves nothing unsettled where [sasl] sets the key.
    for (ConfigFinding& f : findings) {
        if (!f.stopsDaemon && !f.unsettled.empty() && set[keyIndex(f.unsettled)] != 0)
            f.unsettled = {};
    }
    std::stable_sort(
        findings.begin(), findings.end(),
        [](const ConfigFinding& a, const ConfigFinding& b) { return a.line < b.line; });
    if (lines != nullptr) *lines = set;
    return findings;
}

Failure loadToolSettings(const char* given, int status, ToolSettings& out) {
    const std::string path = given != nullptr ? given : std::string(kToolsConfigPath);
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
