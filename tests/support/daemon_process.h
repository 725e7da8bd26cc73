// Test helper: runs the real daemon binary in a temporary directory and talks
// to it over its socket, as a client would.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/capture_stderr.h"

namespace vg::test {

using namespace std::chrono_literals;

// Base64 (standard alphabet, padded) of arbitrary bytes.
std::string base64(const std::string& bytes);
// Lowercase hex SHA-256 of `bytes`.
std::string sha256Hex(const std::string& bytes);
// "resp=" value for a PLAIN credential.
std::string plainCredential(const std::string& user, const std::string& password);

// A client connection to a Unix socket, with bounded waits.
class Client {
public:
    // Connects (retrying briefly while the socket is not there yet); check ok().
    explicit Client(const std::string& socketPath, std::chrono::milliseconds timeout = 3000ms);
    ~Client();
    Client(Client&& other) noexcept;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool send(const std::string& bytes);
    // Reads until `count` bytes arrived, the peer closed, or the timeout.
    std::string readBytes(std::size_t count, std::chrono::milliseconds timeout = 3000ms);
    // Reads until the peer closes (or the timeout); `closed` tells which.
    std::string readAll(std::chrono::milliseconds timeout = 3000ms, bool* closed = nullptr);
    // True when the peer closed within the timeout with no data pending.
    bool closedWithin(std::chrono::milliseconds timeout);
    void close();

private:
    int fd_ = -1;
};

class Daemon {
public:
    // Creates the temporary directory with run/ and cache/ and a default
    // configuration (socket in the directory, cache_dir the cache folder).
    Daemon();
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    TempDir& dir() { return dir_; }
    std::string socketPath() const { return socket_; }
    std::string cacheDir() const { return cacheDir_; }
    std::string configPath() const { return dir_.file("vg.conf"); }

    void setSocket(const std::string& path) { socket_ = path; }
    void setCacheDir(const std::string& path) { cacheDir_ = path; }
    void setExtraConfig(const std::string& lines) { extra_ = lines; }
    // RLIMIT_NOFILE for the daemon, set in the child before exec (0: inherit).
    void setDescriptorLimit(int limit) { fdLimit_ = limit; }
    // Runs the daemon as this user and group id (root only; -1: as the test).
    void setUser(int id) { user_ = id; }
    // Starts the daemon with descriptors 0, 1 and 2 closed (no log then).
    void closeStandardDescriptors() { closeStdio_ = true; }
    // Writes the configuration file from the settings above.
    void writeConfig() const;
    // Writes cache/keys (or the given cache dir's keys) with this content.
    void writeKeys(const std::string& content) const;
    // Atomically replaces the keys file: write a temporary file, rename over.
    void replaceKeys(const std::string& content) const;

    // Starts the binary with `args` (default: -c configPath), stderr to a file.
    // Does not wait for anything.
    void start(std::optional<std::vector<std::string>> args = std::nullopt);
    // start() and wait for the listening line; false if it did not come.
    bool startAndWait(std::chrono::milliseconds timeout = 5000ms);
    // Waits until the event loop answers a connection (its signal handlers are
    // in place only from then on).
    bool waitReady(std::chrono::milliseconds timeout = 5000ms);

    int pid() const { return pid_; }
    bool running();
    void signal(int signo) const;
    // Waits for exit; the exit status, or -1 on timeout (the process is then killed),
    // or 128+signal when it died of a signal.
    int waitExit(std::chrono::milliseconds timeout = 5000ms);

    std::string log() const;
    // Waits until the log contains `text` `count` times.
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 5000ms,
                    int count = 1) const;
    static int countOf(const std::string& haystack, const std::string& needle);
    // Connections closed as idle for new clients, summed over the
    // rate-limited warning lines; `lines` (if given) gets their number.
    static int closedIdleCount(const std::string& log, int* lines = nullptr);

    // One AUTH request on a fresh connection: the greeting is checked and the
    // reply line returned ("" when none came).
    std::string auth(const std::string& id, const std::string& user, const std::string& password);

private:
    TempDir dir_;
    std::string socket_;
    std::string cacheDir_;
    std::string extra_;
    std::string stderrPath_;
    int fdLimit_ = 0;
    int user_ = -1;
    bool closeStdio_ = false;
    int pid_ = -1;
    bool reaped_ = false;
};

std::string daemonPath();
std::string toolPath(const std::string& name);

// Whether shutdown(SHUT_RD) on our end makes the peer's next write fail with
// EPIPE, as the kernel answers: Linux and FreeBSD's new stream code do. The
// old one (14, early 15-CURRENT) looks only at the sender's state in
// uipc_send, so there the write succeeds and the peer sees EOF once we
// close, which the reply path does right after the reply.
bool readShutdownFailsPeerWrites();

}  // namespace vg::test
