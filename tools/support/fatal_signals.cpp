// Handlers that undo a tool's terminal and temporary-file changes, then let
// the signal end the process as it would have.
#include "support/fatal_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "core/files.h"

namespace vg::tools {

namespace {

constexpr int kSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

// Written only with the signals held, read only by the handler.
volatile sig_atomic_t gTerminalArmed = 0;
int gTerminalFd = -1;
termios gTerminalSaved{};
volatile sig_atomic_t gTempArmed = 0;
int gTempDirFd = -1;
char gTempName[kPathBufferSize];

sigset_t fatalSet() noexcept {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kSignals) sigaddset(&set, s);
    return set;
}

void onFatalSignal(int signo) {
    // Only async-signal-safe calls from here on.
    if (gTerminalArmed != 0) {
        (void)::tcsetattr(gTerminalFd, TCSANOW, &gTerminalSaved);
        (void)!::write(STDERR_FILENO, "\n", 1);
    }
    if (gTempArmed != 0) (void)::unlinkat(gTempDirFd, gTempName, 0);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    (void)::sigaction(signo, &dfl, nullptr);
    // Still blocked while the handler runs: delivered, by default, on return.
    (void)::raise(signo);
}

void installOnce() noexcept {
    static bool installed = false;
    if (installed) return;
    installed = true;
    for (int s : kSignals) {
        struct sigaction old {};
        if (::sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        struct sigaction act {};
        act.sa_handler = onFatalSignal;
        act.sa_mask = fatalSet();
        (void)::sigaction(s, &act, nullptr);
    }
}

}  // namespace

SignalsHeld::SignalsHeld() noexcept {
    const sigset_t set = fatalSet();
    (void)::sigprocmask(SIG_BLOCK, &set, &saved_);
}

SignalsHeld::~SignalsHeld() {
    (void)::sigprocmask(SIG_SETMASK, &saved_, nullptr);
}

void armTerminal(int fd, const termios& saved) noexcept {
    const SignalsHeld held;
    installOnce();
    gTerminalFd = fd;
    gTerminalSaved = saved;
    gTerminalArmed = 1;
}

void disarmTerminal() noexcept {
    const SignalsHeld held;
    gTerminalArmed = 0;
}

bool armTempFile(int dirFd, std::string_view name) noexcept {
    const SignalsHeld held;
    if (!copyPath(name, gTempName)) return false;
    installOnce();
    gTempDirFd = dirFd;
    gTempArmed = 1;
    return true;
}

void disarmTempFile() noexcept {
    const SignalsHeld held;
    gTempArmed = 0;
}

}  // namespace vg::tools
