// The calling thread's kernel identifier, as the re-entrant log lock records it.
#pragma once

#include <cstdint>

namespace vg::platform {

std::int32_t currentThreadId() noexcept;

}  // namespace vg::platform
