// Process statistics on Linux, from /proc/PID.
#include "platform/process_stats.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace vg::platform {

int openDescriptorCount(int pid) noexcept {
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = ::opendir(path.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
    // The directory stream's own descriptor is listed when counting ourselves.
    return pid == ::getpid() ? n - 1 : n;
}

std::int64_t residentBytes(int pid) noexcept {
    const std::string path = "/proc/" + std::to_string(pid) + "/statm";
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return -1;
    unsigned long size = 0;
    unsigned long resident = 0;
    const int got = std::fscanf(f, "%lu %lu", &size, &resident);
    std::fclose(f);
    if (got != 2) return -1;
    return static_cast<std::int64_t>(resident) * ::sysconf(_SC_PAGESIZE);
}

}  // namespace vg::platform
