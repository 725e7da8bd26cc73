// Cost of one PLAIN check, hit and miss, against a full-size key table, with
// its log line going to /dev/null; plus the parts that make it up.
//
//   plain_bench KEYS_DIR PASSWORD [benchmark options]
//
// KEYS_DIR holds the keys file "keys"; PASSWORD is the password of one of its keys.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "auth/plain.h"
#include "keycache/key_cache.h"
#include "log/log.h"

namespace {

vg::KeyCache gCache;
std::string gPassword;

std::string base64(const std::string& bytes) {
    std::string out(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                      bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    out.resize(out.size() - 1);
    return out;
}

// The credential a client sends: empty authorization identity, a user, the password.
std::string credential(const std::string& password) {
    return base64(std::string("\0user\0", 6) + password);
}

void runCheck(benchmark::State& state, const std::string& value, bool expectFailed) {
    const vg::AuthOutcome first = vg::checkPlain(std::string_view(value), gCache);
    if (first.failed != expectFailed) {
        state.SkipWithError("unexpected outcome: wrong password or keys file?");
        return;
    }
    for (auto _ : state) {
        vg::AuthOutcome outcome = vg::checkPlain(std::string_view(value), gCache);
        benchmark::DoNotOptimize(outcome);
    }
}

void BM_CheckPlainHit(benchmark::State& state) {
    runCheck(state, credential(gPassword), false);
}

void BM_CheckPlainMiss(benchmark::State& state) {
    std::string wrong = gPassword;
    wrong.back() = wrong.back() == 'x' ? 'y' : 'x';
    runCheck(state, credential(wrong), true);
}

void BM_CheckPlainEarlyFailure(benchmark::State& state) {
    runCheck(state, base64(std::string("no-nul-in-here")), true);
}

void BM_LogLineOnly(benchmark::State& state) {
    for (auto _ : state)
        vg::logLine(vg::LogLevel::info, vg::LogScope::sasl, "auth FAIL: key not found");
}

void BM_Sha256(benchmark::State& state) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    for (auto _ : state) {
        crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(gPassword.data()),
                           gPassword.size());
        benchmark::DoNotOptimize(digest);
    }
}

// The two ways of writing the digest in hex.
void BM_HexNibbleTable(benchmark::State& state) {
    static constexpr char kDigits[] = "0123456789abcdef";
    unsigned char digest[32] = {0x12, 0x9f, 0xa0};
    char hex[64];
    for (auto _ : state) {
        benchmark::DoNotOptimize(digest);
        for (std::size_t i = 0; i < 32; ++i) {
            hex[2 * i] = kDigits[digest[i] >> 4];
            hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
        }
        benchmark::DoNotOptimize(hex);
    }
}

void BM_HexSodium(benchmark::State& state) {
    unsigned char digest[32] = {0x12, 0x9f, 0xa0};
    char hex[65];
    for (auto _ : state) {
        benchmark::DoNotOptimize(digest);
        sodium_bin2hex(hex, sizeof(hex), digest, sizeof(digest));
        benchmark::DoNotOptimize(hex);
    }
}

void BM_Base64Sodium(benchmark::State& state) {
    const std::string value = credential(gPassword);
    unsigned char out[1024];
    for (auto _ : state) {
        std::size_t n = 0;
        const char* end = nullptr;
        benchmark::DoNotOptimize(sodium_base642bin(out, sizeof(out), value.data(), value.size(),
                                                   nullptr, &n, &end,
                                                   sodium_base64_VARIANT_ORIGINAL));
        benchmark::DoNotOptimize(out);
    }
}

void BM_Wipe(benchmark::State& state) {
    unsigned char buf[128];
    for (auto _ : state) {
        sodium_memzero(buf, 21);
        sodium_memzero(buf, 32);
        sodium_memzero(buf, 64);
        benchmark::DoNotOptimize(buf);
    }
}

BENCHMARK(BM_Base64Sodium);
BENCHMARK(BM_Wipe);
BENCHMARK(BM_CheckPlainHit);
BENCHMARK(BM_CheckPlainMiss);
BENCHMARK(BM_CheckPlainEarlyFailure);
BENCHMARK(BM_LogLineOnly);
BENCHMARK(BM_Sha256);
BENCHMARK(BM_HexNibbleTable);
BENCHMARK(BM_HexSodium);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s KEYS_DIR PASSWORD [benchmark options]\n", argv[0]);
        return 2;
    }
    if (!vg::initCrypto()) return 1;
    gPassword = argv[2];
    gCache.init(argv[1], vg::HashAlgorithm::sha256);
    if (!gCache.reload().ok() || gCache.keyCount() == 0) {
        std::fprintf(stderr, "no keys loaded from %s/keys\n", argv[1]);
        return 1;
    }
    std::fprintf(stderr, "%llu keys loaded\n", static_cast<unsigned long long>(gCache.keyCount()));

    // The log line is part of a check's cost; it goes where a quiet daemon's would.
    const int savedStderr = ::dup(2);
    const int devNull = ::open("/dev/null", O_WRONLY);
    if (savedStderr < 0 || devNull < 0) return 1;
    ::dup2(devNull, 2);
    ::close(devNull);
    benchmark::RunSpecifiedBenchmarks();
    ::dup2(savedStderr, 2);
    ::close(savedStderr);

    benchmark::Shutdown();
    gCache.deinit();
    return 0;
}
