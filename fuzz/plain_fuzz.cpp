// Fuzzes the PLAIN credential check: arbitrary resp= values, and credentials
// built from a known password, against a small key table.
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "auth/plain.h"
#include "keycache/key_cache.h"

namespace {

std::string hexSha256(std::string_view bytes) {
    unsigned char d[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(d, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : d) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

std::string encode(std::string_view bytes) {
    std::string out(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                      bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    out.resize(std::strlen(out.c_str()));
    return out;
}

vg::KeyCache* cache() {
    static vg::KeyCache* c = [] {
        if (!vg::initCrypto()) std::abort();
        static std::string dir = "/tmp/vg-plain-fuzz-" + std::to_string(::getpid());
        ::mkdir(dir.c_str(), 0700);
        std::ofstream(dir + "/keys") << hexSha256("known") << "\towner-known\n";
        auto* k = new vg::KeyCache;
        k->init(dir, vg::HashAlgorithm::sha256);
        if (!k->reload().ok()) std::abort();
        return k;
    }();
    return c;
}

bool isReason(std::string_view t) {
    for (std::string_view r : {"missing credentials", "invalid base64", "credentials too long",
                               "malformed PLAIN", "empty password", "authentication failed"}) {
        if (t == r) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vg::KeyCache& keys = *cache();
    std::string_view value(reinterpret_cast<const char*>(data), size);
    vg::AuthOutcome out = vg::checkPlain(value, keys);
    if (out.failed ? !isReason(out.text) : out.text != "owner-known") std::abort();
    // An encoded value longer than the decode estimate allows is never decoded.
    if (size > 1368 && size % 4 == 0 && !out.failed) std::abort();

    // The same bytes as user names with the known password always answer OK;
    // as a password they answer OK only if they are the known password.
    std::size_t cut = size / 2;
    std::string message(value.substr(0, cut));
    for (char& c : message) c = c == '\0' ? '.' : c;
    std::string plain = message + '\0' + "id" + '\0' + "known";
    if (plain.size() <= 1024) {
        vg::AuthOutcome ok = vg::checkPlain(encode(plain), keys);
        if (ok.failed || ok.text != "owner-known") std::abort();
    }
    std::string other = std::string("a\0b\0", 4) + std::string(value.substr(cut, 1000));
    vg::AuthOutcome res = vg::checkPlain(encode(other), keys);
    bool known = value.substr(cut, 1000) == "known";
    bool empty = value.substr(cut, 1000).empty();
    if (empty ? res.text != "empty password" : (res.failed == known)) std::abort();
    return 0;
}
