// vellumgard-key --check without a keys file: the configuration file and
// everything it names, as the user the daemon runs as would find them.
#pragma once

#include <string>

#include "support/failure.h"

namespace vg::tools {

// Prints one finding per line on standard output. `configPath` is the -c
// value or nullptr for kToolsConfigPath; `user` is empty for the
// caller. Status 1 when anything was found or the file could not be read.
Failure checkConfiguration(const char* configPath, const std::string& user);

}  // namespace vg::tools
