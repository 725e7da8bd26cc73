// Command-line choice of the configuration file, and its parser.
#include "core/config.h"

#include <cstdlib>

#include "core/files.h"
#include "log/log.h"

namespace vg {

std::string_view chooseConfigPath(int argc, const char* const* argv) noexcept {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string_view(argv[i]) == "-c") return argv[i + 1];
    }
    return kDefaultConfigPath;
}

Result<mode_t> parseSocketMode(std::string_view value) noexcept {
    auto digitsOk = [](std::string_view d, char maxDigit) {
        if (d.empty() || d.front() == '_' || d.back() == '_') return false;
        for (char c : d) {
            if (c != '_' && (c < '0' || c > maxDigit)) return false;
        }
        return true;
    };
    if (!value.empty() && value.front() == '-') {
        // Only a negative zero is a valid mode.
        if (!digitsOk(value.substr(1), '0')) return ErrorCode::InvalidValue;
        return mode_t{0};
    }
    if (!value.empty() && value.front() == '+') value.remove_prefix(1);
    if (!digitsOk(value, '7')) return ErrorCode::InvalidValue;
    std::uint32_t mode = 0;
    for (char c : value) {
        if (c == '_') continue;
        mode = mode * 8 + static_cast<std::uint32_t>(c - '0');
        // Checked per digit, so any number of digits cannot overflow.
        if (mode > 07777) return ErrorCode::InvalidValue;
    }
    return static_cast<mode_t>(mode);
}

namespace {

std::string_view stripQuotes(std::string_view v) noexcept {
    if (v.size() >= 2 && (v.front() == '\'' || v.front() == '"') && v.back() == v.front()) {
        return v.substr(1, v.size() - 2);
    }
    return v;
}

[[noreturn]] void exitNotFound() noexcept {
    std::exit(1);
}

// A path with a NUL byte would reach the system cut short at it, naming
// another file, or on Linux an abstract socket when the byte comes first.
Status checkPath(std::string_view key, std::string_view value) noexcept {
    if (value.find('\0') == std::string_view::npos) return {};
    logLine(LogLevel::error, LogScope::config, key, " contains a NUL byte");
    return ErrorCode::BadPathName;
}

Status applySetting(Config& cfg, std::string_view key, std::string_view value,
                    const Allocator& alloc) noexcept {
    if (key == "socket" || key == "cache_dir") {
        if (Status path = checkPath(key, value); !path) return path;
    }
    if (key == "socket") {
        if (!cfg.socketStorage.assign(alloc, value)) return ErrorCode::OutOfMemory;
        cfg.socket = cfg.socketStorage.view();
    } else if (key == "socket_mode") {
        Result<mode_t> mode = parseSocketMode(value);
        if (!mode) return ErrorCode::InvalidValue;
        cfg.socket_mode = mode.value();
    } else if (key == "cache_dir") {
        if (!cfg.cacheDirStorage.assign(alloc, value)) return ErrorCode::OutOfMemory;
        cfg.cache_dir = cfg.cacheDirStorage.view();
    } else if (key == "hash_algorithm") {
        if (value == "sha256") {
            cfg.hash_algorithm = HashAlgorithm::sha256;
        } else if (value == "none") {
            cfg.hash_algorithm = HashAlgorithm::none;
        } else {
            logLine(LogLevel::error, LogScope::config, "invalid hash_algorithm '", value,
                    "' (expected 'sha256' or 'none')");
            return ErrorCode::InvalidValue;
        }
    }
    return {};
}

}  // namespace

Status parseConfigText(Config& cfg, std::string_view text, const Allocator& alloc) noexcept {
    bool inSasl = false;
    for (;;) {
        std::size_t nl = text.find('\n');
        std::string_view line = trimWhitespace(text.substr(0, nl));
        if (!line.empty() && line.front() != '#' && line.front() != ';') {
            if (line.front() == '[') {
                inSasl = line == "[sasl]";
            } else if (inSasl) {
                std::size_t eq = line.find('=');
                if (eq != std::string_view::npos) {
                    std::string_view key = trimWhitespace(line.substr(0, eq));
                    std::string_view value = trimWhitespace(line.substr(eq + 1));
                    if (!value.empty()) {
                        Status st = applySetting(cfg, key, stripQuotes(value), alloc);
                        if (!st) return st;
                    }
                }
            }
        }
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    return {};
}

Result<Config> loadConfig(std::string_view path, const Allocator& alloc,
                          void (*onNotFound)()) noexcept {
    Result<OwnedBytes> file = readWholeFile(path, kConfigFileLimit, alloc);
    if (!file) {
        if (file.error() == ErrorCode::FileNotFound) {
            logLine(LogLevel::error, LogScope::config, "config file not found: ", path);
            if (onNotFound != nullptr) {
                onNotFound();
                return ErrorCode::FileNotFound;
            }
            exitNotFound();
        }
        return file.error();
    }
    Config cfg;
    {
        OwnedBytes buffer = std::move(file.value());
        Status parsed = parseConfigText(cfg, buffer.view(), alloc);
        if (!parsed) return parsed.error();
        logLine(LogLevel::info, LogScope::config, "loaded config from ", path);
    }  // the file buffer is released here, before validation
    if (cfg.socket.empty()) return ErrorCode::MissingSocket;
    if (cfg.cache_dir.empty()) return ErrorCode::MissingCacheDir;
    return cfg;
}

}  // namespace vg
