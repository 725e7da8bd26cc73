// Test helper: runs an operator tool with some standard input and collects
// its outputs and how it ended.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace vg::test {

using namespace std::chrono_literals;

struct ToolRun {
    int status = -1;  // exit status; -1 when it died of a signal, timed out or did not start
    int signal = 0;   // the signal that ended it
    std::string out;
    std::string err;
};

// Runs `argv` with `input` on its standard input. The wait is bounded: past
// `timeout` the child is killed.
ToolRun runTool(const std::vector<std::string>& argv, const std::string& input = "",
                std::chrono::milliseconds timeout = 10000ms);

}  // namespace vg::test
