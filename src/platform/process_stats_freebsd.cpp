// Process statistics on FreeBSD, from the kern.proc sysctls: /proc is not
// mounted by default there.
#include "platform/process_stats.h"

#include <sys/param.h>
#include <sys/sysctl.h>
#include <sys/user.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace vg::platform {

int openDescriptorCount(int pid) noexcept {
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_FILEDESC, pid};
    std::size_t len = 0;
    if (::sysctl(mib, 4, nullptr, &len, nullptr, 0) != 0) return -1;
    len += len / 2;  // room for descriptors opened between the two calls
    std::vector<char> buf(len);
    if (::sysctl(mib, 4, buf.data(), &len, nullptr, 0) != 0) return -1;
    // Packed records of kf_structsize bytes each. The working directory, root
    // directory, jail and text vnode come with negative kf_fd numbers.
    int n = 0;
    std::size_t off = 0;
    while (off < len) {
        kinfo_file kf;
        std::memset(&kf, 0, sizeof(kf));
        std::memcpy(&kf, buf.data() + off, std::min(sizeof(kf), len - off));
        if (kf.kf_structsize <= 0) break;
        if (kf.kf_fd >= 0) ++n;
        off += static_cast<std::size_t>(kf.kf_structsize);
    }
    return n;
}

std::int64_t residentBytes(int pid) noexcept {
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
    kinfo_proc kp;
    std::size_t len = sizeof(kp);
    if (::sysctl(mib, 4, &kp, &len, nullptr, 0) != 0 || len != sizeof(kp)) return -1;
    return static_cast<std::int64_t>(kp.ki_rssize) * ::getpagesize();
}

std::int64_t cpuMicros(int pid) noexcept {
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
    kinfo_proc kp;
    std::size_t len = sizeof(kp);
    if (::sysctl(mib, 4, &kp, &len, nullptr, 0) != 0 || len != sizeof(kp)) return -1;
    return static_cast<std::int64_t>(kp.ki_runtime);  // microseconds
}

}  // namespace vg::platform
