// Reading a keys file the way the daemon will: the owners it would sign in,
// and the lines it would skip or that shadow an earlier one.
#pragma once

#include <string>

#include "core/config.h"
#include "support/failure.h"

namespace vg::tools {

// Prints "{owner}\t{count}" per owner, in byte order, counting the keys the
// daemon would sign in as that owner. Never prints a key.
Failure listOwners(const std::string& path);

// Prints "{path}:{line}: {finding}" for each line that needs attention, then
// "{path}: {n} key(s) to load, {m} problem(s)". A Failure (status 1) when
// anything was found or the daemon could not read the file.
Failure checkKeysFile(const std::string& path, HashAlgorithm algorithm);

}  // namespace vg::tools
