// Keys file line splitting.
#include "keycache/keys_file.h"

#include <cstring>

#include "core/files.h"

namespace vg {

namespace {

std::string_view upTo(std::string_view s, char c, std::string_view* rest) noexcept {
    const void* hit = s.empty() ? nullptr : std::memchr(s.data(), c, s.size());
    if (hit == nullptr) {
        if (rest != nullptr) *rest = {};
        return s;
    }
    auto n = static_cast<std::size_t>(static_cast<const char*>(hit) - s.data());
    if (rest != nullptr) *rest = s.substr(n + 1);
    return s.substr(0, n);
}

}  // namespace

bool KeyLineReader::next(KeyLine& out) noexcept {
    while (!done_) {
        const void* nl = rest_.empty() ? nullptr : std::memchr(rest_.data(), '\n', rest_.size());
        std::string_view line;
        if (nl == nullptr) {
            line = rest_;  // the last line, with or without content
            done_ = true;
        } else {
            auto n = static_cast<std::size_t>(static_cast<const char*>(nl) - rest_.data());
            line = rest_.substr(0, n);
            rest_.remove_prefix(n + 1);
        }
        line = trimWhitespace(line);
        if (line.empty() || line.front() == '#') continue;
        if (std::memchr(line.data(), '\t', line.size()) == nullptr) continue;
        std::string_view fields = line;
        std::string_view key = upTo(fields, '\t', &fields);
        std::string_view afterOwner;
        std::string_view owner = upTo(fields, '\t', &afterOwner);
        // A third tab ends the extra; whatever follows it is ignored.
        std::string_view extra = upTo(afterOwner, '\t', nullptr);
        if (key.empty() || owner.empty()) continue;
        out = {key, owner, extra};
        return true;
    }
    return false;
}

std::size_t countLines(std::string_view text) noexcept {
    std::size_t lines = 1;
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        if (nl == nullptr) break;
        ++lines;
        p = static_cast<const char*>(nl) + 1;
    }
    return lines;
}

}  // namespace vg
