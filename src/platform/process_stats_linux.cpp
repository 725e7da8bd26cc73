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

namespace {

// The first line of /proc/PID/NAME into `line`; false when it cannot be read.
template <std::size_t N>
bool readProcLine(int pid, const char* name, char (&line)[N]) noexcept {
    const std::string path = "/proc/" + std::to_string(pid) + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return false;
    const bool got = std::fgets(line, static_cast<int>(N), f) != nullptr;
    (void)std::fclose(f);
    return got;
}

}  // namespace

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
    char line[128] = {};
    if (!readProcLine(pid, "statm", line)) return -1;
    // "size resident shared ...", counted in pages.
    const char* end = line + std::strlen(line);
    std::uint64_t size = 0;
    std::uint64_t resident = 0;
    const auto first = std::from_chars(line, end, size);
    if (first.ec != std::errc() || first.ptr == end || *first.ptr != ' ') return -1;
    if (std::from_chars(first.ptr + 1, end, resident).ec != std::errc()) return -1;
    return static_cast<std::int64_t>(resident) * ::sysconf(_SC_PAGESIZE);
}

std::int64_t cpuMicros(int pid) noexcept {
    char line[1024] = {};
    if (!readProcLine(pid, "stat", line)) return -1;
    // "pid (comm) state ..." where comm may hold spaces: fields are counted
    // from the last ')'. utime and stime are fields 14 and 15.
    const char* p = std::strrchr(line, ')');
    if (p == nullptr) return -1;
    const char* end = line + std::strlen(line);
    std::uint64_t ticks[2] = {};
    int field = 2;
    for (++p; p < end && field < 15; ++p) {
        if (*p != ' ') continue;
        ++field;
        if (field == 14 || field == 15) {
            if (std::from_chars(p + 1, end, ticks[field - 14]).ec != std::errc()) return -1;
        }
    }
    if (field < 15) return -1;
    return static_cast<std::int64_t>((ticks[0] + ticks[1]) * 1000000 /
                                     static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK)));
}

}  // namespace vg::platform
