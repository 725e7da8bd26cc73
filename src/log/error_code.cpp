// Printed names of the error codes.
#include "log/error_code.h"

#include <array>

namespace vg {

namespace {

constexpr std::array kNames{std::string_view{},
#define VG_NAME(name) std::string_view{#name},
                            VG_ERROR_CODES(VG_NAME)
#undef VG_NAME
};

}  // namespace

std::string_view errorName(ErrorCode code) noexcept {
    auto index = static_cast<std::size_t>(code);
    // An out-of-range value can only come from memory corruption; print it as
    // the catch-all rather than reading past the table.
    if (index == 0 || index >= kNames.size()) return "Unexpected";
    return kNames[index];
}

}  // namespace vg
