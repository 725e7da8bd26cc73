// Fuzzes the connection line protocol: arbitrary bytes in arbitrary chunks
// through a real socketpair, with the reply checked for well-formedness.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "auth/plain.h"
#include "auth/protocol.h"
#include "keycache/key_cache.h"

namespace {

vg::KeyCache* cache() {
    static vg::KeyCache* c = [] {
        if (!vg::initCrypto()) std::abort();
        static std::string dir = "/tmp/vg-proto-fuzz-" + std::to_string(::getpid());
        ::mkdir(dir.c_str(), 0700);
        std::ofstream(dir + "/keys") << "known\towner\n";
        auto* k = new vg::KeyCache;
        k->init(dir, vg::HashAlgorithm::none);
        if (!k->reload().ok()) std::abort();
        return k;
    }();
    return c;
}

std::string drain(int fd) {
    std::string out;
    char buf[1024];
    for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vg::KeyCache& keys = *cache();
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    int bufSize = 1 << 16;
    ::setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &bufSize, sizeof(bufSize));
    ::fcntl(sv[0], F_SETFL, O_NONBLOCK);
    static vg::ConnectionSlot slot;
    slot.fill = 0;
    slot.fd = sv[0];
    slot.state = vg::ConnectionState::open;
    // The first byte picks the chunk size, so splits land anywhere.
    std::size_t chunk = size > 0 ? 1 + data[0] * 17u : 1;
    std::size_t pos = size > 0 ? 1 : 0;
    std::string replies;
    while (pos < size && slot.state == vg::ConnectionState::open) {
        std::size_t n = std::min(chunk, size - pos);
        if (::send(sv[1], data + pos, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) break;
        pos += n;
        vg::handleReadable(slot, keys);
        replies += drain(sv[1]);
    }
    if (slot.state == vg::ConnectionState::open && pos >= size) {
        ::shutdown(sv[1], SHUT_WR);  // end of stream closes without a reply
        vg::handleReadable(slot, keys);
        replies += drain(sv[1]);
        if (slot.state != vg::ConnectionState::closing) std::abort();
    }
    // At most one reply, one line, at most 512 bytes, of one of the two forms.
    if (!replies.empty()) {
        if (replies.size() > 512 || replies.back() != '\n') std::abort();
        if (replies.find('\n') != replies.size() - 1) std::abort();
        if (replies.rfind("OK\t", 0) != 0 && replies.rfind("FAIL\t", 0) != 0) std::abort();
        if (slot.state != vg::ConnectionState::closing) std::abort();
    }
    if (slot.state == vg::ConnectionState::open && slot.fill >= vg::kSlotBufferSize) std::abort();
    vg::wipeSlotInput(slot);
    ::close(sv[0]);
    ::close(sv[1]);
    return 0;
}
