// --list and --check: a keys file read by the daemon's own reader.
#include "keys/keys_report.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <map>
#include <string_view>
#include <unordered_map>

#include "core/files.h"
#include "keycache/key_cache.h"
#include "keycache/keys_file.h"
#include "keys/key_line.h"
#include "keys/keys_update.h"
#include "support/output.h"

namespace vg::tools {

namespace {

// The file as the daemon reads it, or why the daemon would not load it.
Failure readKeysFile(const std::string& path, OwnedBytes& out) {
    Result<OwnedBytes> read = readWholeFile(path, kKeysFileLimit);
    if (read) {
        out = std::move(read.value());
        return {};
    }
    switch (read.error()) {
        case ErrorCode::FileNotFound:
            return {kExitFailed, path + " does not exist; the daemon keeps the keys it has"};
        case ErrorCode::FileTooBig:
            return {kExitFailed,
                    path + " is larger than the daemon's limit of 16 MiB; it would not load"};
        default:
            return {kExitFailed,
                    "cannot read " + path + ": error." + std::string(errorName(read.error()))};
    }
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 || errno != ENOENT;
}

Failure print(const std::string& text) {
    if (writeAll(STDOUT_FILENO, text)) return {};
    return {kExitFailed, "cannot write to standard output: " + errnoText()};
}

bool isLowerHex(std::string_view key) {
    for (char c : key) {
        if ((c < '0' || c > '9') && (c < 'a' || c > 'f')) return false;
    }
    return true;
}

// Why no client can ever use this key, or nothing.
std::string_view unusableKey(std::string_view key, HashAlgorithm algorithm) {
    if (algorithm == HashAlgorithm::sha256) {
        if (key.size() == kHexKeySize && isLowerHex(key)) return {};
        return "no password matches this key with hash_algorithm = sha256 (it is not 64 "
               "lowercase hexadecimal digits)";
    }
    if (key.size() <= kMaxPasswordSize) return {};
    return "no password matches this key: it is longer than any credential the daemon accepts";
}

std::string_view skipReason(KeyLineKind kind) {
    switch (kind) {
        case KeyLineKind::noTab: return "skipped: no tab between a key and an owner";
        case KeyLineKind::emptyKey: return "skipped: the key is empty";
        case KeyLineKind::emptyOwner: return "skipped: the owner is empty";
        default: return {};
    }
}

}  // namespace

Failure listOwners(const std::string& path) {
    OwnedBytes bytes;
    if (Failure f = readKeysFile(path, bytes)) return f;
    const WipedBytes file(std::move(bytes));

    std::unordered_map<std::string_view, std::string_view> ownerOf;  // the last line wins
    KeyLineReader reader(file.view());
    for (KeyLine line; reader.next(line);) ownerOf[line.key] = line.owner;
    std::map<std::string_view, std::size_t> counts;
    for (const auto& entry : ownerOf) ++counts[entry.second];

    std::string out;
    for (const auto& [owner, count] : counts) {
        out += printable(owner) + "\t" + std::to_string(count) + "\n";
    }
    return print(out);
}

KeysFileReport reportKeysFile(const std::string& path, HashAlgorithm algorithm) {
    KeysFileReport result;
    OwnedBytes bytes;
    if (Failure f = readKeysFile(path, bytes)) {
        result.unreadable = f;
        result.missing = !fileExists(path);
        return result;
    }
    const WipedBytes file(std::move(bytes));

    struct Seen {
        std::size_t line;
        std::string_view owner;
    };
    std::unordered_map<std::string_view, Seen> lastLineOf;
    std::size_t& problems = result.problems;
    std::string& out = result.findings;
    auto report = [&](std::size_t line, std::string_view finding) {
        out += path + ":" + std::to_string(line) + ": ";
        out += finding;
        out += "\n";
        ++problems;
    };

    KeyLineReader reader(file.view());
    for (std::size_t number = 1; !reader.done(); ++number) {
        std::string_view raw;
        KeyLine line;
        const KeyLineKind kind = reader.nextLine(raw, line);
        if (kind != KeyLineKind::entry) {
            if (std::string_view why = skipReason(kind); !why.empty()) report(number, why);
            continue;
        }
        auto [seen, fresh] = lastLineOf.try_emplace(line.key, Seen{number, line.owner});
        if (!fresh) {
            std::string finding = "repeats the key of line " + std::to_string(seen->second.line);
            if (seen->second.owner != line.owner) {
                finding += ", which now signs in as " + printable(line.owner) + " instead of " +
                           printable(seen->second.owner);
            }
            report(number, finding);
            seen->second = Seen{number, line.owner};
        }
        if (std::string_view why = unusableKey(line.key, algorithm); !why.empty()) {
            report(number, why);
        }
        if (hasControlByte(line.owner)) {
            report(number,
                   "the owner holds control bytes, which the daemon sends as they are "
                   "in replies and logs");
        }
        if (line.owner.size() > kLongestReplyOwner) {
            report(number,
                   "the owner is too long for any reply: clients with this key get no "
                   "answer");
        }
    }
    result.keys = lastLineOf.size();
    return result;
}

Failure checkKeysFile(const std::string& path, HashAlgorithm algorithm) {
    const KeysFileReport report = reportKeysFile(path, algorithm);
    if (report.unreadable) return report.unreadable;
    if (Failure f =
            print(report.findings + path + ": " + std::to_string(report.keys) +
                  " key(s) to load, " + std::to_string(report.problems) + " problem(s)\n")) {
        return f;
    }
    if (report.problems != 0) return {kExitFailed, ""};
    return {};
}

}  // namespace vg::tools
