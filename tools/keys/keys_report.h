// Reading a keys file the way the daemon will: the owners it would sign in,
// and the lines it would skip or that shadow an earlier one.
#pragma once

#include <cstddef>
#include <string>

#include "core/config.h"
#include "support/failure.h"

namespace vg::tools {

// Prints "{owner}\t{count}" per owner, in byte order, counting the keys the
// daemon would sign in as that owner. Never prints a key.
Failure listOwners(const std::string& path);

// What the daemon will make of a keys file.
struct KeysFileReport {
    Failure unreadable;    // why the daemon could not load it at all
    bool missing = false;  // ... because it does not exist
    std::string findings;  // "{path}:{line}: {finding}\n" per line that needs attention
    std::size_t problems = 0;
    std::size_t keys = 0;  // the keys the daemon would load
};

KeysFileReport reportKeysFile(const std::string& path, HashAlgorithm algorithm);

// Prints "{path}:{line}: {finding}" for each line that needs attention, then
// "{path}: {n} key(s) to load, {m} problem(s)". A Failure (status 1) when
// anything was found or the daemon could not read the file.
Failure checkKeysFile(const std::string& path, HashAlgorithm algorithm);

}  // namespace vg::tools
