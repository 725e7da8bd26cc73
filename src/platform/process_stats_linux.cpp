// Process statistics on Linux, from /proc/PID.
#include "platform/process_stats.h"

#include <dirent.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
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
    char line[128] = {};
    const bool got = std::fgets(line, sizeof line, f) != nullptr;
    (void)std::fclose(f);
    if (!got) return -1;
    // "size resident shared ...", counted in pages.
    const char* end = line + std::strlen(line);
    std::uint64_t size = 0;
    std::uint64_t resident = 0;
    const auto first = std::from_chars(line, end, size);
    if (first.ec != std::errc() || first.ptr == end || *first.ptr != ' ') return -1;
    if (std::from_chars(first.ptr + 1, end, resident).ec != std::errc()) return -1;
    return static_cast<std::int64_t>(resident) * ::sysconf(_SC_PAGESIZE);
}

}  // namespace vg::platform
