// The process entry: brings the daemon up in a fixed order, serves, and takes it down.
#include "core/daemon.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

#include "auth/plain.h"
#include "core/config.h"
#include "core/event_loop.h"
#include "core/files.h"
#include "keycache/key_cache.h"
#include "log/log.h"
#include "log/syscalls.h"
#include "platform/unix_socket.h"

namespace vg {

namespace {

// The system's maximum, which the kernel caps at its own limit: a mail server
// starting many processes while the loop is busy for a moment (a reload of a
// big keys file) would otherwise see connects fail and its processes die.
constexpr int kListenBacklog = SOMAXCONN;

void emptyHandler(int) {}

void installSigpipeHandler() noexcept {
    // Caught, not ignored: a write to a departed client then fails with EPIPE.
    struct sigaction sa {};
    sa.sa_handler = emptyHandler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    (void)sigaction(SIGPIPE, &sa, nullptr);
}

// A service manager may start the daemon with 0, 1 or 2 closed. The next
// descriptor opened would take the number, and the log would be written into
// the listening socket, the signal pipe (read back as commands) or a client.
// Each closed one gets /dev/null, in order, so open(2) returns that number.
Status fillStandardDescriptors() noexcept {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        Result<int> opened = sys::openat(AT_FDCWD, "/dev/null", O_RDWR);
        if (!opened) return opened.error();
    }
    return {};
}

int fatal(ErrorCode code) noexcept {
    logFatal(code);
    return 1;
}

// Identity of the socket file this daemon bound, so shutdown removes only its own.
struct SocketIdentity {
    bool known = false;
    dev_t dev = 0;
    ino_t ino = 0;
};

bool isSocketAt(const char* path, SocketIdentity* identity) noexcept {
    struct stat st {};
    if (::fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (!S_ISSOCK(st.st_mode)) return false;
    if (identity != nullptr) *identity = {true, st.st_dev, st.st_ino};
    return true;
}

// Removes the socket at `path`. Only a socket is removed: a mistyped
// path must never delete a regular file, which instead makes bind fail.
// With `expected` set, only the socket this daemon bound is removed, so a
// newer daemon's socket at the same path survives this one's shutdown.
void removeSocketFile(std::string_view path, const SocketIdentity* expected = nullptr) noexcept {
    char cpath[kPathBufferSize];
    if (!copyPath(path, cpath)) return;
    SocketIdentity found;
    if (!isSocketAt(cpath, &found)) return;
    if (expected != nullptr &&
        (!expected->known || expected->dev != found.dev || expected->ino != found.ino)) {
        return;
    }
    (void)::unlinkat(AT_FDCWD, cpath, 0);
}

// Clears the way for bind: removes the socket at `path` only when it is
// stale, that is when a connect to it is refused, as for one left behind by
// a daemon that was killed. A socket that accepts, or would once its
// backlog drains, belongs to a running daemon: AddressInUse, and nothing is
// removed, so that daemon stays reachable. Any other outcome also leaves the
// entry alone, and bind reports it.
Status removeStaleSocket(std::string_view path) noexcept {
    char cpath[kPathBufferSize];
    if (path.size() >= platform::kUnixPathCapacity || !copyPath(path, cpath) ||
        !isSocketAt(cpath, nullptr)) {
        return {};
    }
    Result<int> opened = sys::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (!opened) return {};
    sys::UniqueFd probe(opened.value());
    if (platform::connectUnix(probe.get(), path) == 0) return ErrorCode::AddressInUse;
    int err = errno;
    if (err == EAGAIN || err == EINPROGRESS) return ErrorCode::AddressInUse;
    if (err == ECONNREFUSED) removeSocketFile(path);
    return {};
}

bool setNonBlocking(int fd) noexcept {
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Owns the key cache from its first successful load until exit.
class CacheOwner {
public:
    explicit CacheOwner(KeyCache& cache) noexcept : cache_(cache) {}
    ~CacheOwner() { cache_.deinit(); }
    CacheOwner(const CacheOwner&) = delete;
    CacheOwner& operator=(const CacheOwner&) = delete;

private:
    KeyCache& cache_;
};

KeyCache gCache;
EventLoop gLoop;  // 64 slots of 4 KiB: kept out of the stack

}  // namespace

int runDaemon(int argc, const char* const* argv) noexcept {
    if (Status filled = fillStandardDescriptors(); !filled) return fatal(filled.error());
    installSigpipeHandler();
    Result<Config> loaded = loadConfig(chooseConfigPath(argc, argv));
    if (!loaded) return fatal(loaded.error());
    const Config& config = loaded.value();

    if (!initCrypto()) return fatal(ErrorCode::Unexpected);

    gCache.init(config.cache_dir, config.hash_algorithm);
    Status first = gCache.reload();
    if (!first) {
        logLine(LogLevel::error, LogScope::main, "initial cache load failed: ", first.error());
        return 1;
    }
    CacheOwner cacheOwner(gCache);

    if (Status cleared = removeStaleSocket(config.socket); !cleared) {
        return fatal(cleared.error());
    }

    Result<int> sock = sys::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (!sock) return fatal(sock.error());
    sys::UniqueFd listener(sock.value());

    if (config.socket.size() >= platform::kUnixPathCapacity) {
        logLine(LogLevel::error, LogScope::main, "invalid socket path: ", config.socket, ": ",
                ErrorCode::NameTooLong);
        return fatal(ErrorCode::NameTooLong);
    }
    if (Status bound = sys::bindUnix(listener.get(), config.socket); !bound) {
        return fatal(bound.error());
    }
    char socketPath[kPathBufferSize];
    (void)copyPath(config.socket, socketPath);  // shorter than 104 bytes: always fits
    SocketIdentity boundSocket;
    (void)isSocketAt(socketPath, &boundSocket);
    if (Status listening = sys::listen(listener.get(), kListenBacklog); !listening) {
        return fatal(listening.error());
    }
    if (Status chmodded = sys::fchmodat(AT_FDCWD, socketPath, config.socket_mode, 0); !chmodded) {
        logLine(LogLevel::warning, LogScope::main, "chmod(", config.socket,
                ") failed: ", chmodded.error());
    }

    std::uint64_t count = 0;
    {
        LockGuard<KeyCache> hold(gCache);
        count = gCache.keyCount();
    }
    logLine(LogLevel::info, LogScope::main, "Vellumgard listening on ", config.socket, " (", count,
            " keys loaded)");

    sys::UniqueFd cacheDir;
    {
        char dirPath[kPathBufferSize];
        // Without O_VERIFY: on a FreeBSD host that enforces verified files
        // (mac_veriexec), a directory has no fingerprint and the open would
        // fail with EAUTH, silently leaving reloads to SIGHUP. The descriptor
        // is only watched, never read; the keys file has an open of its own.
        const Status copied = copyPath(config.cache_dir, dirPath);
        Result<int> opened =
            copied ? sys::openat(AT_FDCWD, dirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                   : Result<int>(copied.error());
        if (opened) {
            cacheDir.reset(opened.value());
        } else {
            logLine(LogLevel::warning, LogScope::main, "cannot open cache dir ", config.cache_dir,
                    " for watching: ", opened.error(), " (reload on SIGHUP only)");
        }
    }

    Result<sys::PipeEnds> pipe = sys::pipe();
    if (!pipe) {
        cacheDir.reset();
        listener.reset();
        removeSocketFile(config.socket, &boundSocket);
        return fatal(pipe.error());
    }
    sys::UniqueFd pipeRead(pipe->read);
    sys::UniqueFd pipeWrite(pipe->write);
    // Non-blocking at both ends: the handler must never block on a full pipe,
    // and the loop drains the read end until it is empty.
    (void)setNonBlocking(pipeRead.get());
    (void)setNonBlocking(pipeWrite.get());

    Result<platform::Kqueue> kq = sys::kqueue();
    if (!kq) {
        pipeRead.reset();
        pipeWrite.reset();
        cacheDir.reset();
        listener.reset();
        removeSocketFile(config.socket, &boundSocket);
        return fatal(kq.error());
    }
    sys::UniqueKqueue kqueue(kq.value());

    LoopDescriptors fds;
    fds.kqueue = kqueue.get();
    fds.listener = listener.get();
    fds.pipeRead = pipeRead.get();
    fds.pipeWrite = pipeWrite.get();
    if (cacheDir.valid()) fds.cacheDir = cacheDir.get();
    fds.cacheDirPath = config.cache_dir;
    // A loop that cannot watch its socket or its signal pipe ends start-up.
    const Status served = gLoop.run(fds, gCache);

    gLoop.connections().closeAll();
    if (served) logLine(LogLevel::info, LogScope::main, "Vellumgard shutdown complete");
    kqueue.reset();
    pipeRead.reset();
    pipeWrite.reset();
    cacheDir.reset();
    listener.reset();
    removeSocketFile(config.socket, &boundSocket);
    return served ? 0 : fatal(served.error());  // the key cache is released last, by its owner
}

}  // namespace vg
