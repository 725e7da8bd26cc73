// A failure on its way to main: the message and the exit status it ends with.
#pragma once

#include <string>

namespace vg::tools {

// Status 0 is success and carries no message.
struct Failure {
    int status = 0;
    std::string message;

    explicit operator bool() const noexcept { return status != 0; }
};

}  // namespace vg::tools
