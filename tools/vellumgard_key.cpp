// vellumgard-key: makes, revokes, lists and checks the keys of the daemon's keys file.
//
//   vellumgard-key [-c CONF] [-o FILE] OWNER                 new key: password on stdout
//   vellumgard-key --hash|--none [--replace] [-o FILE] OWNER  key of a password from stdin
//   vellumgard-key --revoke [-o FILE] OWNER                  remove every line of OWNER
//   vellumgard-key --revoke-password [--none] [-o FILE]      remove the lines of a password's key
//   vellumgard-key --list [FILE]                             owners and their key counts
//   vellumgard-key --check [--none] [FILE]                   what the daemon will make of FILE
//   vellumgard-key --check [-c CONF] [-u USER]               the configuration, as USER
//
// Where a keys file is needed and none is given, it is cache_dir/keys of the
// configuration (-c, or the daemon's default file when it exists), whose
// hash_algorithm is the default for --hash/--none too.
// Changes go through updateKeysFile: locked, atomic and owner-keeping.
// Exit status: 0 done, 1 failure, findings or nothing to do, 2 refused input,
// 64 usage error.
#include <getopt.h>
#include <sodium.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "auth/plain.h"
#include "keycache/keys_file.h"
#include "keys/config_check.h"
#include "keys/key_line.h"
#include "keys/keys_report.h"
#include "keys/keys_update.h"
#include "support/config_file.h"
#include "support/output.h"
#include "support/password.h"

namespace vg::tools {
extern const char* const kProgramName = "vellumgard-key";
}  // namespace vg::tools

namespace vg::tools {
namespace {

constexpr std::size_t kRandomBytes = 32;
constexpr PasswordStatuses kPasswordStatuses{kExitRefused, kExitFailed};

enum class Action { generate, add, revoke, revokePassword, list, check, checkConfig };

struct Options {
    Action action = Action::generate;
    std::optional<HashAlgorithm> algorithm;
    bool replace = false;
    const char* config = nullptr;     // -c
    std::optional<std::string> user;  // -u
    std::optional<std::string> file;  // -o, or FILE for --list and --check
    std::string owner;
};

constexpr std::string_view kUsage =
    "usage: vellumgard-key [-c CONF] [-o FILE] OWNER\n"
    "       vellumgard-key --hash|--none [--replace] [-c CONF] [-o FILE] OWNER < password\n"
    "       vellumgard-key --revoke [-c CONF] [-o FILE] OWNER\n"
    "       vellumgard-key --revoke-password [--hash|--none] [-c CONF] [-o FILE] < password\n"
    "       vellumgard-key --list [-c CONF] [FILE]\n"
    "       vellumgard-key --check [--hash|--none] [-c CONF] FILE\n"
    "       vellumgard-key --check [-c CONF] [-u USER]\n";

// `why` may be empty when getopt has already said what is wrong.
Failure usageError(const std::string& why) {
    if (!why.empty()) say(why);
    (void)writeAll(STDERR_FILENO, kUsage);
    return {kExitUsage, ""};
}

// Fills `opts`; a Failure with status 0 and a message stands for --help.
Failure parseOptions(int argc, char** argv, Options& opts) {
    enum : int { kHash = 256, kNone, kReplace, kRevoke, kRevokePassword, kList, kCheck };
    static const option longOptions[] = {
        {"hash", no_argument, nullptr, kHash},
        {"none", no_argument, nullptr, kNone},
        {"replace", no_argument, nullptr, kReplace},
        {"revoke", no_argument, nullptr, kRevoke},
        {"revoke-password", no_argument, nullptr, kRevokePassword},
        {"list", no_argument, nullptr, kList},
        {"check", no_argument, nullptr, kCheck},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    std::optional<Action> chosen;
    int opt;
    while ((opt = ::getopt_long(argc, argv, "hc:o:u:", longOptions, nullptr)) != -1) {
        switch (opt) {
            case 'c': opts.config = optarg; break;
            case 'o': opts.file = optarg; break;
            case 'u': opts.user = optarg; break;
            case kHash:
            case kNone: {
                const HashAlgorithm a = opt == kHash ? HashAlgorithm::sha256 : HashAlgorithm::none;
                if (opts.algorithm && *opts.algorithm != a) {
                    return usageError("--hash and --none exclude each other");
                }
                opts.algorithm = a;
                break;
            }
            case kReplace: opts.replace = true; break;
            case kRevoke:
            case kRevokePassword:
            case kList:
            case kCheck: {
                const Action a = opt == kRevoke           ? Action::revoke
                                 : opt == kRevokePassword ? Action::revokePassword
                                 : opt == kList           ? Action::list
                                                          : Action::check;
                if (chosen && *chosen != a) {
                    return usageError(
                        "--revoke, --revoke-password, --list and --check exclude "
                        "each other");
                }
                chosen = a;
                break;
            }
            case 'h': return {0, std::string(kUsage)};
            default: return usageError("");
        }
    }
    opts.action = chosen ? *chosen : opts.algorithm ? Action::add : Action::generate;
    const int operands = argc - optind;
    const bool inspects = opts.action == Action::list || opts.action == Action::check;
    if (opts.action == Action::check && operands == 0) opts.action = Action::checkConfig;
    const Action a = opts.action;
    if (opts.file && opts.file->empty()) return usageError("-o needs a file name");
    if (opts.config != nullptr && *opts.config == '\0') return usageError("-c needs a file name");
    if (opts.user && (a != Action::checkConfig || opts.user->empty())) {
        return usageError("-u USER goes with --check without a FILE");
    }
    if (opts.replace && a != Action::add) return usageError("--replace goes with --hash or --none");
    if (opts.algorithm && (a == Action::revoke || a == Action::list || a == Action::checkConfig)) {
        return usageError(
            "--hash and --none do not go with --revoke, --list or a configuration check");
    }
    if (inspects && opts.file) {
        return usageError("--list and --check take the file as their operand, not -o");
    }
    if (inspects) {
        if (operands > 1) return usageError("give at most one FILE");
        if (operands == 1) opts.file = argv[optind];
        return {};
    }
    const int wanted = a == Action::revokePassword ? 0 : 1;
    if (operands != wanted) {
        return usageError(wanted == 0 ? "--revoke-password takes no operand" : "give one OWNER");
    }
    if (wanted == 1) opts.owner = argv[optind];
    return {};
}

// True when the action writes to or reads a keys file, rather than printing a line.
bool needsKeysFile(const Options& opts) {
    return opts.action != Action::checkConfig &&
           ((opts.action != Action::generate && opts.action != Action::add) || opts.replace);
}

// Fills in the keys file and hash algorithm from the configuration where the
// command line leaves them open. Explicit options win; the default file is
// only read when something is open, and only if it exists.
Failure applyConfiguration(Options& opts) {
    const bool wantFile = needsKeysFile(opts) && !opts.file;
    const bool wantAlgorithm = !opts.algorithm && opts.action != Action::revoke &&
                               opts.action != Action::list && opts.action != Action::checkConfig;
    if (opts.config == nullptr && !wantFile && !wantAlgorithm) return {};
    ToolSettings settings;
    if (Failure f = loadToolSettings(opts.config, kExitFailed, settings)) return f;
    if (wantFile) opts.file = settings.keysFile();
    if (!opts.algorithm) opts.algorithm = settings.hashAlgorithm;
    return {};
}

// Copies the lines of `current` to `out`, byte for byte, except the entries
// `drop` selects; calls `kept` for every entry that stays. Returns how many
// lines were dropped.
template <typename Drop, typename Kept>
std::size_t copyLinesExcept(std::string_view current, SecretBuffer& out, Drop drop, Kept kept) {
    const char* end = current.data() + current.size();
    KeyLineReader reader(current);
    std::size_t dropped = 0;
    for (std::size_t number = 1; !reader.done(); ++number) {
        std::string_view raw;
        KeyLine line;
        const bool entry = reader.nextLine(raw, line) == KeyLineKind::entry;
        if (entry && drop(line)) {
            ++dropped;
            continue;
        }
        if (entry) kept(line, number);
        (void)out.append(raw);
        if (raw.data() + raw.size() != end) (void)out.append("\n");
    }
    return dropped;
}

// The last line that names `key`: its number and owner, or number 0.
struct Holder {
    std::size_t line = 0;
    std::string owner;
};

Holder holderOf(std::string_view current, std::string_view key) {
    Holder found;
    KeyLineReader reader(current);
    for (std::size_t number = 1; !reader.done(); ++number) {
        std::string_view raw;
        KeyLine line;
        if (reader.nextLine(raw, line) == KeyLineKind::entry && line.key == key) {
            found = {number, std::string(line.owner)};
        }
    }
    return found;
}

// The password of a new key: 32 random bytes in URL-safe base64 without
// padding (43 characters, safe in a PLAIN password field and in copy and paste).
void generatePassword(SecretBuffer& password) {
    unsigned char raw[kRandomBytes];
    randombytes_buf(raw, sizeof(raw));
    constexpr int variant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
    sodium_bin2base64(password.data(), password.capacity(), raw, sizeof(raw), variant);
    sodium_memzero(raw, sizeof(raw));
    password.resize(sodium_base64_ENCODED_LEN(kRandomBytes, variant) - 1);
}

Failure readCheckedPassword(SecretBuffer& password, std::string_view owner) {
    std::string prompt = std::string(kProgramName) + ": password";
    if (!owner.empty()) prompt += " for " + printable(owner);
    prompt += ": ";
    if (Failure f = readPassword(password, prompt, kPasswordStatuses)) return f;
    return checkPassword(password.view());
}

Failure addKey(const Options& opts) {
    const std::string_view owner = opts.owner;
    if (Failure f = checkOwner(owner)) return f;
    const bool generated = opts.action == Action::generate;
    SecretBuffer password(kPasswordInputSize);
    if (generated) {
        generatePassword(password);
    } else if (Failure f = readCheckedPassword(password, owner)) {
        return f;
    }
    char hex[kHexKeySize];
    const std::string_view key =
        deriveKey(password.view(), opts.algorithm.value_or(HashAlgorithm::sha256), hex);
    SecretBuffer line(kMaxLine);
    Failure made = appendKeyLine(key, owner, line);
    sodium_memzero(hex, sizeof(hex));
    if (made) return made;

    SecretBuffer shown(password.view().size() + 1);
    (void)shown.append(password.view());
    (void)shown.append("\n");
    if (!opts.file) {
        // A new key's line goes to stderr, apart from its password; the line
        // for a given password is the one result, on stdout.
        if (generated && !writeAll(STDOUT_FILENO, shown.view())) {
            return {kExitFailed, "cannot write the password to standard output: " + errnoText()};
        }
        if (!writeAll(generated ? STDERR_FILENO : STDOUT_FILENO, line.view())) {
            return {kExitFailed, "cannot write the key line: " + errnoText()};
        }
        return {};
    }

    const std::string& path = *opts.file;
    const std::string_view keyInLine = line.view().substr(0, key.size());
    Holder replaced;
    KeysUpdate update;
    update.growth = line.view().size() + 1;
    update.rewrite = [&](std::string_view current, SecretBuffer& out) -> Failure {
        replaced = holderOf(current, keyInLine);
        if (replaced.line != 0 && !opts.replace) {
            return {kExitRefused, "this key is already in " + path + " for " +
                                      printable(replaced.owner) + " (line " +
                                      std::to_string(replaced.line) + "); --replace gives it to " +
                                      printable(owner) + " instead"};
        }
        if (replaced.line != 0) {
            copyLinesExcept(
                current, out, [&](const KeyLine& l) { return l.key == keyInLine; },
                [](const KeyLine&, std::size_t) {});
        } else {
            (void)out.append(current);
        }
        // A last line without its line feed would otherwise swallow the new line.
        if (!out.view().empty() && out.view().back() != '\n') (void)out.append("\n");
        (void)out.append(line.view());
        return {};
    };
    if (Failure f = updateKeysFile(path, update)) return f;
    // Shown only once the key is in place, so a refused or failed update
    // shows no password. One that cannot be shown takes its key out again.
    if (generated && !writeAll(STDOUT_FILENO, shown.view())) {
        const std::string why = errnoText();
        KeysUpdate undo;
        undo.rewrite = [&](std::string_view current, SecretBuffer& out) -> Failure {
            copyLinesExcept(
                current, out, [&](const KeyLine& l) { return l.key == keyInLine; },
                [](const KeyLine&, std::size_t) {});
            return {};
        };
        const Failure undone = updateKeysFile(path, undo);
        return {kExitFailed, "cannot write the password to standard output: " + why +
                                 (undone ? "; its key is still in " + path + ": " + undone.message
                                         : "; its key was removed again")};
    }
    if (replaced.line != 0) {
        say("replaced the key of " + printable(replaced.owner) + " (line " +
            std::to_string(replaced.line) + ") in " + path + "; it now signs in as " +
            printable(owner));
    } else {
        say("added a key for " + printable(owner) + " to " + path);
    }
    return {};
}

Failure revokeOwner(const Options& opts) {
    const std::string_view owner = opts.owner;
    const std::string& path = *opts.file;
    std::size_t removed = 0;
    std::vector<std::string> warnings;
    KeysUpdate update;
    update.rewrite = [&](std::string_view current, SecretBuffer& out) -> Failure {
        // Removing the later of two lines with one key gives the key back to
        // the earlier line's owner: worth a warning.
        std::unordered_set<std::string_view> revokedKeys;
        KeyLineReader reader(current);
        for (KeyLine l; reader.next(l);) {
            if (l.owner == owner) revokedKeys.insert(l.key);
        }
        removed = copyLinesExcept(
            current, out, [&](const KeyLine& l) { return l.owner == owner; },
            [&](const KeyLine& l, std::size_t number) {
                if (revokedKeys.count(l.key) != 0) {
                    warnings.push_back("warning: a key revoked for " + printable(owner) +
                                       " still signs in as " + printable(l.owner) + " (line " +
                                       std::to_string(number) + " before the update)");
                }
            });
        if (removed == 0) {
            return {kExitFailed,
                    "no line of " + printable(owner) + " in " + path + "; nothing changed"};
        }
        return {};
    };
    if (Failure f = updateKeysFile(path, update)) return f;
    say("removed " + std::to_string(removed) + " line(s) of " + printable(owner) + " from " + path);
    for (const std::string& w : warnings) say(w);
    return {};
}

Failure revokePassword(const Options& opts) {
    SecretBuffer password(kPasswordInputSize);
    if (Failure f = readCheckedPassword(password, {})) return f;
    char hex[kHexKeySize];
    const std::string_view key =
        deriveKey(password.view(), opts.algorithm.value_or(HashAlgorithm::sha256), hex);
    const std::string& path = *opts.file;
    std::size_t removed = 0;
    std::string owners;
    KeysUpdate update;
    update.rewrite = [&](std::string_view current, SecretBuffer& out) -> Failure {
        removed = copyLinesExcept(
            current, out,
            [&](const KeyLine& l) {
                if (l.key != key) return false;
                owners += (owners.empty() ? "" : ", ") + printable(l.owner);
                return true;
            },
            [](const KeyLine&, std::size_t) {});
        if (removed == 0) return {kExitFailed, "that key is not in " + path + "; nothing changed"};
        return {};
    };
    Failure f = updateKeysFile(path, update);
    sodium_memzero(hex, sizeof(hex));
    if (f) return f;
    say("removed " + std::to_string(removed) + " line(s) of that key (" + owners + ") from " +
        path);
    return {};
}

Failure run(int argc, char** argv) {
    Options opts;
    if (Failure f = parseOptions(argc, argv, opts); f || !f.message.empty()) return f;
    if (opts.action == Action::checkConfig)
        return checkConfiguration(opts.config, opts.user.value_or(""));
    if (Failure f = applyConfiguration(opts)) return f;
    if (sodium_init() < 0) return {kExitFailed, "cannot initialise libsodium"};
    switch (opts.action) {
        case Action::generate:
        case Action::add: return addKey(opts);
        case Action::revoke: return revokeOwner(opts);
        case Action::revokePassword: return revokePassword(opts);
        case Action::list: return listOwners(*opts.file);
        case Action::check:
            return checkKeysFile(*opts.file, opts.algorithm.value_or(HashAlgorithm::sha256));
        case Action::checkConfig: break;
    }
    return {};
}

}  // namespace
}  // namespace vg::tools

int main(int argc, char** argv) {
    // A closed output pipe is then a write error we report, not a silent death.
    (void)std::signal(SIGPIPE, SIG_IGN);
    return vg::tools::finish(vg::tools::run(argc, argv));
}
