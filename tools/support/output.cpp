// Messages and output of the operator tools.
#include "support/output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log/syscalls.h"

namespace vg::tools {

namespace {

bool isControl(char c) noexcept {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

}  // namespace

// Through the daemon's write wrapper, which retries EINTR and leaves errno
// for the caller's message.
bool writeAll(int fd, std::string_view bytes) noexcept {
    while (!bytes.empty()) {
        const Result<std::size_t> n = sys::write(fd, bytes.data(), bytes.size());
        if (!n) return false;
        bytes.remove_prefix(n.value());
    }
    return true;
}

void say(std::string_view text) {
    std::string line = kProgramName;
    line += ": ";
    line += text;
    line += '\n';
    (void)writeAll(STDERR_FILENO, line);
}

std::string errnoText() {
    return std::strerror(errno);
}

bool hasControlByte(std::string_view bytes) noexcept {
    for (char c : bytes) {
        if (isControl(c)) return true;
    }
    return false;
}

std::string printable(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        if (c == '\\') {
            out += "\\\\";
        } else if (isControl(c)) {
            const auto b = static_cast<unsigned char>(c);
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0x0f];
        } else {
            out += c;
        }
    }
    return out;
}

int finish(const Failure& result) {
    if (result.status == 0 && !result.message.empty()) {
        (void)writeAll(STDOUT_FILENO, result.message);
    } else if (!result.message.empty()) {
        say(result.message);
    }
    return result.status;
}

}  // namespace vg::tools
