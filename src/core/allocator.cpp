// The process allocator: libc's posix_memalign and free, nothing pooled.
#include "core/allocator.h"

#include <cstdlib>

namespace vg {

namespace {

void* systemAllocate(void*, std::size_t size) noexcept {
    void* block = nullptr;
    if (::posix_memalign(&block, alignof(std::max_align_t), size) != 0) return nullptr;
    return block;
}

void systemRelease(void*, void* block, std::size_t) noexcept {
    std::free(block);
}

// realloc keeps posix_memalign's alignment here: it is that of max_align_t,
// which every malloc block has anyway.
void* systemShrink(void*, void* block, std::size_t, std::size_t newSize) noexcept {
    return std::realloc(block, newSize);
}

const Allocator kProcessAllocator{systemAllocate, systemRelease, systemShrink, nullptr};

}  // namespace

const Allocator& processAllocator() noexcept {
    return kProcessAllocator;
}

}  // namespace vg
