// Unix socket address on Linux: sockaddr_un has no sun_len and a 108-byte
// path; the daemon keeps FreeBSD's 104-byte limit so both behave alike.
#include "platform/unix_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <cstring>

namespace vg::platform {

namespace {

sockaddr_un addressOf(std::string_view path) noexcept {
    sockaddr_un addr{};
    static_assert(sizeof(addr.sun_path) >= kUnixPathCapacity);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return addr;
}

}  // namespace

int bindUnix(int fd, std::string_view path) noexcept {
    sockaddr_un addr = addressOf(path);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
}

int connectUnix(int fd, std::string_view path) noexcept {
    sockaddr_un addr = addressOf(path);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
}

}  // namespace vg::platform
