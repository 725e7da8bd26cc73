// Reading a password from standard input, without echo on a terminal.
#pragma once

#include <cstddef>
#include <string_view>

#include "support/failure.h"
#include "support/secret.h"

namespace vg::tools {

// Room for the longest password any tool takes, its CR LF and one byte more.
inline constexpr std::size_t kPasswordInputSize = 4096;

// Exit statuses for a password that is refused and for input that cannot be read.
struct PasswordStatuses {
    int refused;
    int unreadable;
};

// One line into `password` (capacity kPasswordInputSize), without its LF or
// CR LF. From a terminal the line ends at LF, is read without echo and
// `prompt` is shown first on standard error (when that is the terminal too);
// a signal meanwhile restores the echo before it ends the process. From
// anything else all input is read, and more than one line is refused. An
// empty password is refused.
Failure readPassword(SecretBuffer& password, std::string_view prompt, PasswordStatuses statuses);

}  // namespace vg::tools
