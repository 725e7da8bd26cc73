// Messages and output of the operator tools.
#pragma once

#include <string>
#include <string_view>

#include "support/failure.h"

namespace vg::tools {

// Defined by each tool: the name its messages begin with.
extern const char* const kProgramName;

// Writes all of `bytes`, retrying after signals; false (errno set) on failure.
bool writeAll(int fd, std::string_view bytes) noexcept;

// "{program}: {text}\n" on standard error.
void say(std::string_view text);

// strerror(errno) as a string.
std::string errnoText();

// True for the bytes below 0x20 and 0x7f.
bool hasControlByte(std::string_view bytes) noexcept;

// `bytes` safe for a terminal: control bytes as \xNN, a backslash doubled.
std::string printable(std::string_view bytes);

// The end of a tool's run: the message on standard error (on standard output
// for a status 0 with a message, the help text); returns the exit status.
int finish(const Failure& result);

}  // namespace vg::tools
