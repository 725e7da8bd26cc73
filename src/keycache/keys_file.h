// The keys file grammar: one "key<TAB>owner[<TAB>extra]" entry per line.
#pragma once

#include <cstddef>
#include <string_view>

namespace vg {

inline constexpr std::size_t kKeysFileLimit = 16777216;

struct KeyLine {
    std::string_view key;
    std::string_view owner;
    std::string_view extra;  // empty when the line has no third field
};

// Walks the accepted lines of a keys file in order; skipped lines (blank,
// '#' comments, no tab, empty key or owner) are passed over silently.
class KeyLineReader {
public:
    explicit KeyLineReader(std::string_view text) noexcept : rest_(text), done_(false) {}
    bool next(KeyLine& out) noexcept;

private:
    std::string_view rest_;
    bool done_;
};

// An upper bound on the number of accepted lines: the number of lines.
std::size_t countLines(std::string_view text) noexcept;

}  // namespace vg
