// The process entry: brings the daemon up in a fixed order, serves, and takes it down.
#include "core/daemon.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include "auth/plain.h"
#include "core/config.h"
#include "core/descriptor_limit.h"
#include "core/event_loop.h"
#include "core/files.h"
#include "keycache/key_cache.h"
#include "log/log.h"
#include "log/syscalls.h"
#include "platform/unix_socket.h"

namespace vg {

namespace {

// The largest backlog there is; both kernels cut it to their own limit
// (Linux: net.core.somaxconn; FreeBSD: kern.ipc.soacceptqueue, which any
// value above it or below 0 becomes, while SOMAXCONN would cap it at 128
// even where the admin raised the limit). A mail server starting many
// processes while the loop is busy for a moment (a reload of a big keys
// file) would otherwise see connects fail and its processes die.
constexpr int kListenBacklog = INT_MAX;

constexpr std::string_view kLockSuffix = ".lock";

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

// Checked before the lock file is made: a path of 104 bytes or more leaves
// no room for the address's terminator; one ending in "/" names a directory,
// and its lock file would be a stray ".lock" inside it.
ErrorCode checkSocketPath(std::string_view path) noexcept {
    if (path.size() >= platform::kUnixPathCapacity) return ErrorCode::NameTooLong;
    if (path.ends_with('/')) return ErrorCode::IsDir;
    return ErrorCode::None;
}

// Why the lock file could not be opened, in words where the errno alone
// would mislead: a file another user owns (left by a start as root, say) or
// a link planted at the path.
void logLockOpenFailure(const char* lockPath, std::string_view path, ErrorCode code) noexcept {
    struct stat st {};
    const bool found = ::fstatat(AT_FDCWD, lockPath, &st, AT_SYMLINK_NOFOLLOW) == 0;
    const uid_t self = ::geteuid();
    if (found && S_ISLNK(st.st_mode)) {
        logLine(LogLevel::error, LogScope::main, "cannot open lock file ", path,
                ": a symbolic link");
    } else if (found && st.st_uid != self &&
               (code == ErrorCode::AccessDenied || code == ErrorCode::PermissionDenied)) {
        logLine(LogLevel::error, LogScope::main, "cannot open lock file ", path, ": owned by uid ",
                st.st_uid, ", not by this user (uid ", self, ")");
    } else {
        logLine(LogLevel::error, LogScope::main, "cannot open lock file ", path, ": ", code);
    }
}

// True while `path` still names the file `fd` has open. The lock is on the
// file, not the name: one removed and created anew between our open and our
// flock would leave two daemons each holding a lock on a different file.
bool namesLockedFile(const char* path, int fd) noexcept {
    Result<struct stat> held = sys::fstat(fd);
    struct stat named {};
    return held && ::fstatat(AT_FDCWD, path, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           named.st_dev == held->st_dev && named.st_ino == held->st_ino;
}

// Enough for a file replaced by chance; a path replaced on every attempt is
// someone else's doing.
constexpr int kLockAttempts = 8;

// One daemon per socket path: an exclusive flock(2) on "<socket>.lock",
// held for the daemon's whole life (the descriptor is never closed before
// exit). Opened read-only: flock needs no write access (Linux; FreeBSD's
// sys_flock checks no open mode, unlike fcntl's F_SETLK), so a lock file
// left 0400 by a strict umask does not keep its owner out. The lock file is
// never removed: a daemon removing it at exit races the next one, which may
// have just locked the file about to go while a third locks a new one.
Result<sys::UniqueFd> lockSocketPath(std::string_view socketPath) noexcept {
    char lockPath[kPathBufferSize];
    if (socketPath.size() + kLockSuffix.size() >= sizeof lockPath) return ErrorCode::NameTooLong;
    if (Status copied = copyPath(socketPath, lockPath); !copied) return copied.error();
    std::memcpy(lockPath + socketPath.size(), kLockSuffix.data(), kLockSuffix.size());
    const std::string_view path(lockPath, socketPath.size() + kLockSuffix.size());
    lockPath[path.size()] = '\0';
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        // O_NOFOLLOW: a link planted at the lock path must not make the
        // daemon create or lock a file elsewhere.
        Result<int> opened =
            sys::openat(AT_FDCWD, lockPath, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (!opened) {
            logLockOpenFailure(lockPath, path, opened.error());
            return opened.error();
        }
        sys::UniqueFd lock(opened.value());
        Status locked = sys::tryLockExclusive(lock.get());
        if (!locked) {
            if (locked.error() == ErrorCode::WouldBlock) {
                logLine(LogLevel::error, LogScope::main, "socket ", socketPath,
                        " is in use: another daemon holds ", path);
                return ErrorCode::AddressInUse;
            }
            logLine(LogLevel::error, LogScope::main, "cannot lock ", path, ": ", locked.error());
            return locked.error();
        }
        if (namesLockedFile(lockPath, lock.get())) return lock;
    }
    logLine(LogLevel::error, LogScope::main, "cannot lock ", path,
            ": replaced each time it was locked");
    return ErrorCode::FileBusy;
}

// With the lock held, a socket at the path is stale unless a daemon still
// accepts on it: one whose lock file was removed, whose lock is then on a
// file no longer named (a second lock on the new file proves nothing). A
// connect that succeeds is proof on both systems; a refused one is none:
// FreeBSD refuses a listener whose accept queue is over 1.5 times its limit
// and a socket bound but not yet listening (unp_connectat, 14 and main), so
// then the lock alone decides. Non-blocking, so a full backlog cannot stall
// start-up; Linux then says EAGAIN (unix_stream_connect), which only a
// listener gives.
bool socketIsServed(const char* path) noexcept {
    Result<int> sock = sys::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (!sock) return false;
    sys::UniqueFd probe(sock.value());
    if (platform::connectUnix(probe.get(), path) == 0) return true;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS;
}

// Clears the path for bind, with the lock held. Only a socket is removed: a
// mistyped path must never delete a regular file, which instead makes bind
// fail.
Status removeStaleSocket(std::string_view socketPath) noexcept {
    char cpath[kPathBufferSize];
    if (Status copied = copyPath(socketPath, cpath); !copied) return copied.error();
    if (!isSocketAt(cpath, nullptr)) return {};
    if (socketIsServed(cpath)) {
        logLine(LogLevel::error, LogScope::main, "socket ", socketPath,
                " is in use: a daemon serves it, but its lock file was removed");
        return ErrorCode::AddressInUse;
    }
    Status removed = sys::unlinkat(AT_FDCWD, cpath, 0);
    if (!removed && removed.error() != ErrorCode::FileNotFound) {
        logLine(LogLevel::error, LogScope::main, "cannot remove stale socket ", socketPath, ": ",
                removed.error());
        return removed.error();
    }
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
    raiseDescriptorLimit();
    // Asked once, before any connection, and kept for the reclaims. What
    // can fail is its socketpair, named by socket's table.
    if (const int err = platform::readShutdownProbeError(); err != 0) {
        logLine(LogLevel::warning, LogScope::main,
                "cannot probe the read-side shutdown: ", sys::fromErrno(sys::Call::Socket, err),
                " (assuming queued input is lost and the peer can still write)");
    }

    gCache.init(config.cache_dir, config.hash_algorithm);
    Status first = gCache.reload();
    if (!first) {
        logLine(LogLevel::error, LogScope::main, "initial cache load failed: ", first.error());
        return 1;
    }
    CacheOwner cacheOwner(gCache);

    Result<int> sock = sys::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (!sock) return fatal(sock.error());
    sys::UniqueFd listener(sock.value());

    if (const ErrorCode invalid = checkSocketPath(config.socket); invalid != ErrorCode::None) {
        logLine(LogLevel::error, LogScope::main, "invalid socket path: ", config.socket, ": ",
                invalid);
        return fatal(invalid);
    }
    Result<sys::UniqueFd> lock = lockSocketPath(config.socket);
    if (!lock) return fatal(lock.error());
    if (Status cleared = removeStaleSocket(config.socket); !cleared) {
        return fatal(cleared.error());
    }
    // Bound with no permission bits at all: the socket file appears with the
    // umask's mode, and until fchmodat below any local user could connect.
    const mode_t umaskBefore = ::umask(0777);
    const Status bound = sys::bindUnix(listener.get(), config.socket);
    (void)::umask(umaskBefore);
    if (!bound) return fatal(bound.error());
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
    if (Result<int> opened = openDirectoryForWatching(config.cache_dir); opened) {
        cacheDir.reset(opened.value());
    } else {
        logLine(LogLevel::warning, LogScope::main, "cannot open cache dir ", config.cache_dir,
                " for watching: ", opened.error(), " (reload on SIGHUP only)");
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
    if (cacheDir.valid()) fds.cacheDir = cacheDir.release();  // the loop's from now on
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
