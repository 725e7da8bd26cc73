// Unix socket address on FreeBSD: the 106-byte sockaddr_un with sun_len.
#include "platform/unix_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <cstring>

#include <unistd.h>

namespace vg::platform {

namespace {

sockaddr_un addressOf(std::string_view path) noexcept {
    sockaddr_un addr{};
    static_assert(sizeof(addr) == 106 && sizeof(addr.sun_path) == kUnixPathCapacity);
    addr.sun_len = sizeof(addr);
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

// uipc_shutdown() (15) and soshutdown() (14) both discard the queued input
// (unp_dispose, sorflush). FreeBSD 15's rewritten stream send checks the
// receiver's state and fails the peer's write with EPIPE; 14's uipc_send
// only checks the sender's, so the write succeeds and the data is dropped.
ReadShutdownEffect readShutdownEffect() noexcept {
    static const bool refuses = ::getosreldate() >= 1500000;
    return {false, refuses};
}

}  // namespace vg::platform
