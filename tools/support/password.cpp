// Reading a password from standard input, without echo on a terminal.
#include "support/password.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/fatal_signals.h"
#include "support/output.h"

namespace vg::tools {

namespace {

// Turns terminal echo off while it lives; a signal restores it too.
class NoEcho {
public:
    NoEcho() noexcept {
        if (::isatty(STDIN_FILENO) == 0 || ::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        armTerminal(STDIN_FILENO, saved_);
        active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
        if (!active_) disarmTerminal();
    }
    ~NoEcho() {
        if (!active_) return;
        (void)::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
        disarmTerminal();
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;

private:
    termios saved_{};
    bool active_ = false;
};

}  // namespace

Failure readPassword(SecretBuffer& password, std::string_view prompt, PasswordStatuses statuses) {
    const bool tty = ::isatty(STDIN_FILENO) != 0;
    bool prompted = false;
    Failure problem;
    {
        const NoEcho noEcho;
        if (tty && ::isatty(STDERR_FILENO) != 0) prompted = writeAll(STDERR_FILENO, prompt);
        std::size_t got = 0;
        for (;;) {
            if (got == password.capacity()) {
                problem = {statuses.refused, "the password is too long"};
                break;
            }
            const ssize_t n =
                ::read(STDIN_FILENO, password.data() + got, password.capacity() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                problem = {statuses.unreadable,
                           "cannot read the password from standard input: " + errnoText()};
                break;
            }
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
            if (tty && std::memchr(password.data(), '\n', got) != nullptr) break;
        }
        password.resize(got);
    }
    if (prompted) (void)writeAll(STDERR_FILENO, "\n");
    if (problem) return problem;

    std::string_view line = password.view();
    const std::size_t lf = line.find('\n');
    if (lf != std::string_view::npos) {
        if (lf + 1 != line.size()) {
            return {statuses.refused,
                    "standard input holds more than one line; give the password alone"};
        }
        line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    }
    password.resize(line.size());
    if (line.empty()) return {statuses.refused, "the password is empty"};
    return {};
}

}  // namespace vg::tools
