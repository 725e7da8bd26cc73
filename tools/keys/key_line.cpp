// What vellumgard-key lets into a keys-file line.
#include "keys/key_line.h"

#include <string>

#include "core/files.h"
#include "keycache/keys_file.h"
#include "keys/keys_update.h"
#include "support/output.h"

namespace vg::tools {

Failure checkOwner(std::string_view owner) {
    if (owner.empty()) return {kExitRefused, "the owner must not be empty"};
    if (hasControlByte(owner)) {
        return {kExitRefused,
                "the owner must not hold control bytes (tab, line feed and the like): the daemon "
                "would send them as they are in its replies and logs"};
    }
    if (trimWhitespace(owner) != owner) {
        return {kExitRefused,
                "the owner must not begin or end with a space (the keys file would lose it)"};
    }
    if (owner.size() > kMaxOwner) {
        return {kExitRefused, "the owner is longer than " + std::to_string(kMaxOwner) +
                                  " bytes (the daemon's reply could not carry it)"};
    }
    return {};
}

Failure checkPassword(std::string_view password) {
    if (password.empty()) return {kExitRefused, "the password is empty"};
    if (password.size() > kMaxPasswordSize) {
        return {kExitRefused, "the password is longer than " + std::to_string(kMaxPasswordSize) +
                                  " bytes; the daemon could never accept it"};
    }
    if (password.find('\0') != std::string_view::npos) {
        return {kExitRefused,
                "the password holds a NUL byte, which a PLAIN credential cannot carry"};
    }
    return {};
}

Failure appendKeyLine(std::string_view key, std::string_view owner, SecretBuffer& line) {
    const std::size_t start = line.view().size();
    if (!line.append(key) || !line.append("\t") || !line.append(owner) || !line.append("\n")) {
        return {kExitRefused, "the key line is too long"};
    }
    KeyLineReader reader(line.view().substr(start));
    KeyLine got;
    std::string_view raw;
    const KeyLineKind kind = reader.nextLine(raw, got);
    KeyLine rest;
    const bool alone = !reader.next(rest);
    if (kind == KeyLineKind::entry && alone && got.key == key && got.owner == owner &&
        got.extra.empty()) {
        return {};
    }
    line.resize(start);
    // The owner has passed checkOwner, so it is the key that does not survive.
    if (kind == KeyLineKind::comment) {
        return {kExitRefused,
                "a password beginning with '#' cannot be a key: the line would be a "
                "comment"};
    }
    return {kExitRefused,
            "this password cannot be a key of the keys file: white space at its start, or a tab "
            "or line feed in it, would change it"};
}

}  // namespace vg::tools
