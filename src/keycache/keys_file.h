// The keys-file line grammar: lines at LF, trimmed, '#' comments, fields at tabs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/files.h"

namespace vg {

// The keys file's name inside cache_dir, with the separator.
inline constexpr std::string_view kKeysName = "/keys";

// One accepted line: key and owner are never empty; extra may be.
struct KeyLine {
    std::string_view key;
    std::string_view owner;
    std::string_view extra;
};

// What a line of the file is to the daemon: an entry, or why it is skipped.
enum class KeyLineKind : std::uint8_t { entry, blank, comment, noTab, emptyKey, emptyOwner };

// Walks the lines of a keys file in order. Inline because a reload runs it
// twice over up to 16 MiB.
class KeyLineReader {
public:
    explicit KeyLineReader(std::string_view file) noexcept : file_(file) {}

    // The next accepted line; false when none is left.
    bool next(KeyLine& out) noexcept {
        std::string_view raw;
        while (!done_) {
            if (nextLine(raw, out) == KeyLineKind::entry) return true;
        }
        return false;
    }

    // Every line, skipped ones included, until done(): `raw` is the line as it
    // stands, without its LF; `out` is set for an entry.
    KeyLineKind nextLine(std::string_view& raw, KeyLine& out) noexcept {
        raw = nextRawLine();
        return parse(trimWhitespace(raw), out);
    }
    bool done() const noexcept { return done_; }

    // Key, owner and extra of one trimmed line, or why the line is skipped.
    static KeyLineKind parse(std::string_view trimmed, KeyLine& out) noexcept {
        if (trimmed.empty()) return KeyLineKind::blank;
        if (trimmed.front() == '#') return KeyLineKind::comment;
        const std::size_t tab1 = trimmed.find('\t');
        if (tab1 == std::string_view::npos) return KeyLineKind::noTab;
        if (tab1 == 0) return KeyLineKind::emptyKey;
        std::string_view rest = trimmed.substr(tab1 + 1);
        const std::size_t tab2 = rest.find('\t');
        std::string_view owner = rest.substr(0, tab2);
        if (owner.empty()) return KeyLineKind::emptyOwner;
        std::string_view extra;
        if (tab2 != std::string_view::npos) {
            extra = rest.substr(tab2 + 1);
            extra = extra.substr(0, extra.find('\t'));  // text after a third tab is ignored
        }
        out.key = trimmed.substr(0, tab1);
        out.owner = owner;
        out.extra = extra;
        return KeyLineKind::entry;
    }

private:
    // The bytes up to the next LF; the bytes after the last LF are one more line.
    std::string_view nextRawLine() noexcept {
        const char* begin = file_.data() + pos_;
        const std::size_t left = file_.size() - pos_;
        const void* lf = left == 0 ? nullptr : std::memchr(begin, '\n', left);
        if (lf == nullptr) {
            done_ = true;
            pos_ = file_.size();
            return {begin, left};
        }
        const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(lf) - begin);
        pos_ += length + 1;
        return {begin, length};
    }

    std::string_view file_;
    std::size_t pos_ = 0;
    bool done_ = false;
};

// Number of lines that KeyLineReader accepts: the exact size to give the table.
inline std::uint64_t countKeyLines(std::string_view file) noexcept {
    KeyLineReader reader(file);
    KeyLine line;
    std::uint64_t count = 0;
    while (reader.next(line)) ++count;
    return count;
}

}  // namespace vg
