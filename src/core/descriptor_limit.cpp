// Raising the soft descriptor limit at start-up: a service manager's default
// (often 64 or 1024 soft) would otherwise decide how many clients are served.
#include "core/descriptor_limit.h"

#include <sys/resource.h>

#include "core/connection_table.h"
#include "log/log.h"

namespace vg {

void raiseDescriptorLimit() noexcept {
    constexpr rlim_t kWanted = kMaxConnections + kOwnDescriptors;
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur >= kWanted) return;
    const rlim_t reachable =
        lim.rlim_max == RLIM_INFINITY || lim.rlim_max >= kWanted ? kWanted : lim.rlim_max;
    if (reachable > lim.rlim_cur) {
        const rlimit raised{reachable, lim.rlim_max};
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) lim.rlim_cur = reachable;
    }
    if (lim.rlim_cur < kWanted) {
        logLine(LogLevel::warning, LogScope::main, "descriptor limit is ",
                static_cast<std::uint64_t>(lim.rlim_cur), ", below the ",
                static_cast<std::uint64_t>(kWanted), " that ", kMaxConnections,
                " connections need: idle connections are closed for new clients sooner");
    }
}

}  // namespace vg
