// Key cache at the largest keys file the daemon accepts (16 MiB): reload time,
// the memory the table takes, and lookup time for hits and misses.
//
//   keycache_bench [benchmark flags]
//   VG_BENCH_CACHE_DIR  directory holding "keys" (default /tmp/vg-keycache-bench);
//                       the file is generated there when missing
//   VG_MKKEYS           the generator script (default: ../shared/bench/mkkeys.py
//                       beside this source tree)
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "keycache/key_cache.h"
#include "keycache/keys_file.h"
#include "platform/process_stats.h"

namespace {

std::string gCacheDir;
std::vector<std::string> gHits;
std::vector<std::string> gMisses;

std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::string(v) : fallback;
}

std::string defaultGenerator() {
    std::string here = __FILE__;  // .../main/bench/keycache_bench.cpp
    for (int up = 0; up < 3; ++up) here = here.substr(0, here.rfind('/'));
    return here + "/shared/bench/mkkeys.py";
}

// Resident bytes of this process (0 when the system does not tell).
std::size_t residentBytes() {
    const std::int64_t bytes = vg::platform::residentBytes(::getpid());
    return bytes > 0 ? static_cast<std::size_t>(bytes) : 0;
}

// Descriptor 2 to /dev/null while alive: each reload writes its log line.
class QuietStderr {
public:
    QuietStderr() : saved_(::dup(2)) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::close(null);
    }
    ~QuietStderr() {
        ::dup2(saved_, 2);
        ::close(saved_);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_;
};

bool reloadQuietly(vg::KeyCache& cache) {
    QuietStderr quiet;
    return cache.reload().ok();
}

struct MemoryFigures {
    double keys = 0;
    double rssBytes = 0;
    double storageBytes = 0;
};
MemoryFigures gMemory;

// The process allocator, counting the bytes held through it.
struct CountingAllocator {
    std::size_t live = 0;
    vg::Allocator handle{allocateFn, releaseFn, shrinkFn, this};

    static void* allocateFn(void* ctx, std::size_t size) noexcept {
        void* block = vg::processAllocator().allocate(size);
        if (block != nullptr) static_cast<CountingAllocator*>(ctx)->live += size;
        return block;
    }
    static void releaseFn(void* ctx, void* block, std::size_t size) noexcept {
        vg::processAllocator().release(block, size);
        static_cast<CountingAllocator*>(ctx)->live -= size;
    }
    static void* shrinkFn(void* ctx, void* block, std::size_t oldSize,
                          std::size_t newSize) noexcept {
        void* smaller = vg::processAllocator().shrink(block, oldSize, newSize);
        if (smaller != nullptr) static_cast<CountingAllocator*>(ctx)->live -= oldSize - newSize;
        return smaller;
    }
};

// Measured in main before anything else allocates: later, freed memory is
// reused and hides the table's share of the resident set.
bool measureMemory() {
    CountingAllocator counting;
    const std::size_t before = residentBytes();
    vg::KeyCache cache;
    cache.init(gCacheDir, vg::HashAlgorithm::sha256, counting.handle);
    if (!reloadQuietly(cache)) return false;
    const std::size_t after = residentBytes();
    cache.lock();
    gMemory.keys = static_cast<double>(cache.keyCount());
    cache.unlock();
    gMemory.storageBytes = static_cast<double>(counting.live);  // the file buffer is gone
    gMemory.rssBytes = static_cast<double>(after - before);
    cache.deinit();
    return true;
}

void BM_TableMemory(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(gMemory);
    state.counters["keys"] = gMemory.keys;
    state.counters["rss_bytes"] = gMemory.rssBytes;
    state.counters["rss_per_key"] = gMemory.rssBytes / gMemory.keys;
    state.counters["storage_bytes"] = gMemory.storageBytes;
    state.counters["storage_per_key"] = gMemory.storageBytes / gMemory.keys;
}
BENCHMARK(BM_TableMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// What the daemon does on SIGHUP: read, build, swap, release the old table.
void BM_Reload(benchmark::State& state) {
    vg::KeyCache cache;
    cache.init(gCacheDir, vg::HashAlgorithm::sha256);
    reloadQuietly(cache);
    for (auto _ : state) {
        if (!reloadQuietly(cache)) state.SkipWithError("reload failed");
    }
    cache.deinit();
}
BENCHMARK(BM_Reload)->Repetitions(7)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);

// Read and build into an empty cache, the release not timed: the same work
// as the floor's "(c2) build, presized".
void BM_FirstLoad(benchmark::State& state) {
    for (auto _ : state) {
        vg::KeyCache cache;
        cache.init(gCacheDir, vg::HashAlgorithm::sha256);
        if (!reloadQuietly(cache)) state.SkipWithError("reload failed");
        state.PauseTiming();
        cache.deinit();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FirstLoad)->Repetitions(7)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);

// Releasing a loaded table (what the next reload pays under the lock).
void BM_Release(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        vg::KeyCache cache;
        cache.init(gCacheDir, vg::HashAlgorithm::sha256);
        reloadQuietly(cache);
        state.ResumeTiming();
        cache.deinit();
    }
}
BENCHMARK(BM_Release)->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);

void lookups(benchmark::State& state, const std::vector<std::string>& keys, bool expectHit,
             bool lockEach) {
    vg::KeyCache cache;
    cache.init(gCacheDir, vg::HashAlgorithm::sha256);
    reloadQuietly(cache);
    std::size_t i = 0;
    std::size_t wrong = 0;
    if (!lockEach) cache.lock();
    for (auto _ : state) {
        const std::string& key = keys[i];
        if (++i == keys.size()) i = 0;
        if (lockEach) cache.lock();
        const vg::KeyEntry* e = cache.lookup(key);
        if (lockEach) cache.unlock();
        benchmark::DoNotOptimize(e);
        wrong += (e != nullptr) != expectHit;
    }
    if (!lockEach) cache.unlock();
    if (wrong != 0) state.SkipWithError("lookup gave the wrong answer");
    cache.deinit();
}

void BM_LookupHit(benchmark::State& state) {
    lookups(state, gHits, true, false);
}
void BM_LookupMiss(benchmark::State& state) {
    lookups(state, gMisses, false, false);
}
void BM_LookupHitLocked(benchmark::State& state) {
    lookups(state, gHits, true, true);
}
BENCHMARK(BM_LookupHit);
BENCHMARK(BM_LookupMiss);
BENCHMARK(BM_LookupHitLocked);

// Keys spread over the file; misses differ from a real key in its last byte.
bool collectKeys(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    vg::KeyLineReader reader(text);
    std::size_t n = 0;
    for (vg::KeyLine line; reader.next(line); ++n) {
        if (n % 53 != 0) continue;
        gHits.emplace_back(line.key);
        std::string miss(line.key);
        miss.back() = 'G';  // the file's keys are lowercase hex
        gMisses.push_back(miss);
    }
    std::printf("keys file %s: %zu bytes, %zu accepted lines, %zu probe keys\n", path.c_str(),
                text.size(), n, gHits.size());
    return !gHits.empty();
}

}  // namespace

int main(int argc, char** argv) {
    gCacheDir = envOr("VG_BENCH_CACHE_DIR", "/tmp/vg-keycache-bench");
    const std::string keys = gCacheDir + "/keys";
    struct stat st {};
    if (::stat(keys.c_str(), &st) != 0) {
        ::mkdir(gCacheDir.c_str(), 0755);
        const std::string cmd = "python3 '" + envOr("VG_MKKEYS", defaultGenerator()) +
                                "' --max --out '" + keys + "' >/dev/null";
        std::printf("generating: %s\n", cmd.c_str());
        if (std::system(cmd.c_str()) != 0) {
            std::fprintf(stderr, "keycache_bench: could not generate %s\n", keys.c_str());
            return 1;
        }
    }
    if (!measureMemory()) {
        std::fprintf(stderr, "keycache_bench: cannot load %s\n", keys.c_str());
        return 1;
    }
    if (!collectKeys(keys)) {
        std::fprintf(stderr, "keycache_bench: no keys in %s\n", keys.c_str());
        return 1;
    }
    std::fflush(stdout);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
