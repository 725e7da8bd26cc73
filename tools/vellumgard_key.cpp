// vellumgard-key: makes, revokes, lists and checks the keys of the daemon's keys file.
//
//   vellumgard-key [-o FILE] OWNER                        new key: password on stdout
//   vellumgard-key --hash|--none [--replace] [-o FILE] OWNER   key of a password from stdin
//   vellumgard-key --revoke -o FILE OWNER                 remove every line of OWNER
//   vellumgard-key --revoke-password [--none] -o FILE     remove the lines of a password's key
//   vellumgard-key --list FILE                            owners and their key counts
//   vellumgard-key --check [--none] FILE                  what the daemon will make of FILE
//
// Changes go through updateKeysFile: locked, atomic and owner-keeping.
// Exit status: 0 done, 1 failure or nothing to do, 2 usage error or refused input.
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
#include "keys/key_line.h"
#include "keys/keys_report.h"
#include "keys/keys_update.h"
#include "support/output.h"
#include "support/password.h"

namespace vg::tools {
extern const char* const kProgramName = "vellumgard-key";
}  // namespace vg::tools

namespace vg::tools {
namespace {

constexpr std::size_t kRandomBytes = 32;
constexpr PasswordStatuses kPasswordStatuses{kExitRefused, kExitFailed};

enum class Action { generate, add, revoke, revokePassword, list, check };

struct Options {
    Action action = Action::generate;
    std::optional<HashAlgorithm> algorithm;
    bool replace = false;
    std::optional<std::string> file;  // -o
    std::string operand;              // OWNER, or FILE for --list and --check
};

constexpr std::string_view kUsage =
    "usage: vellumgard-key [-o FILE] OWNER\n"
    "       vellumgard-key --hash|--none [--replace] [-o FILE] OWNER < password\n"
    "       vellumgard-key --revoke -o FILE OWNER\n"
    "       vellumgard-key --revoke-password [--none] -o FILE < password\n"
    "       vellumgard-key --list FILE\n"
    "       vellumgard-key --check [--none] FILE\n";

// `why` may be empty when getopt has already said what is wrong.
Failure usageError(const std::string& why) {
    if (!why.empty()) say(why);
    (void)writeAll(STDERR_FILENO, kUsage);
    return {kExitRefused, ""};
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
    while ((opt = ::getopt_long(argc, argv, "ho:", longOptions, nullptr)) != -1) {
        switch (opt) {
            case 'o': opts.file = optarg; break;
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
    const Action a = opts.action;
    if (opts.file && opts.file->empty()) return usageError("-o needs a file name");
    if (opts.replace && a != Action::add) return usageError("--replace goes with --hash or --none");
    if (opts.replace && !opts.file) return usageError("--replace needs -o FILE");
    if (opts.algorithm && (a == Action::revoke || a == Action::list)) {
        return usageError("--hash and --none do not go with --revoke or --list");
    }
    if ((a == Action::revoke || a == Action::revokePassword) && !opts.file) {
        return usageError("--revoke and --revoke-password need -o FILE");
    }
    if ((a == Action::list || a == Action::check) && opts.file) {
        return usageError("--list and --check take the file as their operand, not -o");
    }
    const int operands = argc - optind;
    const int wanted = a == Action::revokePassword ? 0 : 1;
    if (operands != wanted) {
        return usageError(wanted == 0 ? "--revoke-password takes no operand"
                          : a == Action::list || a == Action::check ? "give one FILE"
                                                                    : "give one OWNER");
    }
    if (wanted == 1) opts.operand = argv[optind];
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
    const std::string_view owner = opts.operand;
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
    bool printed = false;
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
    if (generated) {
        // Shown only once the new file is complete: if it cannot be shown, no
        // key without a known password is added.
        update.beforeCommit = [&]() -> Failure {
            if (!writeAll(STDOUT_FILENO, shown.view())) {
                return {kExitFailed,
                        "cannot write the password to standard output: " + errnoText()};
            }
            printed = true;
            return {};
        };
    }
    if (Failure f = updateKeysFile(path, update)) {
        if (printed) f.message += "; the password printed above is NOT valid";
        return f;
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
    const std::string_view owner = opts.operand;
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
    if (sodium_init() < 0) return {kExitFailed, "cannot initialise libsodium"};
    switch (opts.action) {
        case Action::generate:
        case Action::add: return addKey(opts);
        case Action::revoke: return revokeOwner(opts);
        case Action::revokePassword: return revokePassword(opts);
        case Action::list: return listOwners(opts.operand);
        case Action::check:
            return checkKeysFile(opts.operand, opts.algorithm.value_or(HashAlgorithm::sha256));
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
