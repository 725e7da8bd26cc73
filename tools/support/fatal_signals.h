// What SIGINT, SIGQUIT, SIGTERM and SIGHUP undo before they end a tool: the
// terminal's echo, and a temporary file not yet renamed into place.
#pragma once

#include <signal.h>
#include <termios.h>

#include <string_view>

namespace vg::tools {

// While something is armed, each of the four signals restores the armed
// terminal settings, removes the armed temporary file and then ends the
// process by the same signal, as if it had not been caught. A signal that
// was ignored when the tool started stays ignored.
void armTerminal(int fd, const termios& saved) noexcept;
void disarmTerminal() noexcept;

// `name` is relative to `dirFd` and copied; false when it is too long to keep.
bool armTempFile(int dirFd, std::string_view name) noexcept;
void disarmTempFile() noexcept;

// Holds the four signals back while it lives, so that creating or renaming
// a file and arming or disarming it happen as one step.
class SignalsHeld {
public:
    SignalsHeld() noexcept;
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t saved_{};
};

}  // namespace vg::tools
