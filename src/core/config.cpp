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

Result<HashAlgorithm> parseHashAlgorithm(std::string_view value) noexcept {
    if (value == "sha256") return HashAlgorithm::sha256;
    if (value == "none") return HashAlgorithm::none;
    return ErrorCode::InvalidValue;
}

std::string_view stripConfigQuotes(std::string_view v) noexcept {
    if (v.size() >= 2 && (v.front() == '\'' || v.front() == '"') && v.back() == v.front()) {
        return v.substr(1, v.size() - 2);
    }
    return v;
}

namespace {

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

}  // namespace

Status applyConfigSetting(Config& cfg, std::string_view key, std::string_view value,
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
        Result<HashAlgorithm> algorithm = parseHashAlgorithm(value);
        if (!algorithm) {
            logLine(LogLevel::error, LogScope::config, "invalid hash_algorithm '", value,
                    "' (expected 'sha256' or 'none')");
            return ErrorCode::InvalidValue;
        }
        cfg.hash_algorithm = algorithm.value();
    }
    return {};
}

Status parseConfigText(Config& cfg, std::string_view text, const Allocator& alloc) noexcept {
    return forEachConfigEntry(text, [&](const ConfigEntry& entry) -> Status {
        if (entry.value.empty()) return {};  // keeps the earlier value
        return applyConfigSetting(cfg, entry.key, stripConfigQuotes(entry.value), alloc);
    });
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
