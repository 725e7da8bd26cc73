// Fuzzes the configuration parser with arbitrary file contents.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    vg::Config cfg;
    vg::Status st = vg::parseConfigText(cfg, text);
    // Whatever the input, the settings stay within their ranges and string
    // settings are copies, never views into the input.
    if (cfg.socket_mode > 07777) std::abort();
    if (cfg.hash_algorithm != vg::HashAlgorithm::sha256 &&
        cfg.hash_algorithm != vg::HashAlgorithm::none) {
        std::abort();
    }
    auto inside = [&](std::string_view v) {
        return !v.empty() && v.data() >= text.data() && v.data() < text.data() + text.size();
    };
    if (inside(cfg.socket) || inside(cfg.cache_dir)) std::abort();
    if (cfg.socket.find('\n') != std::string_view::npos) std::abort();
    // A path with a NUL byte is refused, never kept.
    if (cfg.socket.find('\0') != std::string_view::npos ||
        cfg.cache_dir.find('\0') != std::string_view::npos) {
        std::abort();
    }
    if (!st && st.error() != vg::ErrorCode::InvalidValue &&
        st.error() != vg::ErrorCode::OutOfMemory && st.error() != vg::ErrorCode::BadPathName) {
        std::abort();
    }
    return 0;
}
