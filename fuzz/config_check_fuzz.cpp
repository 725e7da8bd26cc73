// Fuzzes the operator tools' reading of the configuration file, which
// reports what the daemon's parser passes over: whatever the text, every
// finding names a line of it and the settings stay within their ranges.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "support/config_file.h"

namespace vg::tools {
// The tools' messages name their program; the library leaves it to them.
extern const char* const kProgramName = "config_check_fuzz";
}  // namespace vg::tools

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vg::Config cfg;
    vg::tools::ConfigLines lines{};
    const auto findings = vg::tools::readConfigText(text, cfg, &lines);
    std::size_t lineCount = 1;
    for (char c : text) lineCount += c == '\n' ? 1 : 0;
    for (const auto& f : findings) {
        if (f.line > lineCount || f.text.empty()) std::abort();
    }
    for (std::size_t line : lines) {
        if (line > lineCount) std::abort();
    }
    if (cfg.socket_mode > 07777) std::abort();
    return 0;
}
