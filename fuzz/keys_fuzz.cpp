// Fuzzes the keys file grammar and the key table with arbitrary file contents.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "keycache/key_table.h"
#include "keycache/keys_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    vg::KeyTable table(vg::processAllocator());
    if (!table.reserve(vg::countKeyLines(text))) std::abort();
    std::map<std::string, std::string> expected;  // the last owner per key
    vg::KeyLineReader reader(text);
    for (vg::KeyLine line; reader.next(line);) {
        // Accepted fields never hold a line feed or tab, and key and owner are never empty.
        if (line.key.empty() || line.owner.empty()) std::abort();
        for (std::string_view f : {line.key, line.owner, line.extra}) {
            if (f.find('\n') != std::string_view::npos || f.find('\t') != std::string_view::npos)
                std::abort();
        }
        (void)table.insert(line.key, line.owner, line.extra);
        expected[std::string(line.key)] = std::string(line.owner);
    }
    if (table.size() != expected.size()) std::abort();
    for (const auto& [key, owner] : expected) {
        const vg::KeyEntry* e = table.find(key);
        if (e == nullptr || e->owner() != owner) std::abort();
        // A key one byte longer is a different key.
        if (table.find(key + "x") != nullptr && expected.count(key + "x") == 0) std::abort();
    }
    return 0;
}
