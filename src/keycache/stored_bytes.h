// A byte string stored inside the key table: short contents inline, longer
// ones in an allocation of their own. Owned by the table, which releases it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/allocator.h"

namespace vg {

template <std::size_t Inline>
class StoredBytes {
public:
    static_assert(Inline >= sizeof(char*), "the inline room doubles as the pointer");
    static_assert((Inline + sizeof(std::uint32_t)) % 8 == 0, "no padding in a table slot");

    // False when an out-of-line copy could not be allocated; nothing is then owned.
    bool assign(const Allocator& alloc, std::string_view bytes) noexcept {
        size_ = static_cast<std::uint32_t>(bytes.size());
        if (bytes.size() <= Inline) {
            if (!bytes.empty()) std::memcpy(bytes_, bytes.data(), bytes.size());
            return true;
        }
        char* copy = static_cast<char*>(alloc.allocate(bytes.size()));
        if (copy == nullptr) {
            size_ = 0;
            return false;
        }
        std::memcpy(copy, bytes.data(), bytes.size());
        std::memcpy(bytes_, &copy, sizeof(copy));
        return true;
    }

    void release(const Allocator& alloc) noexcept {
        if (onHeap()) alloc.release(heap(), size_);
        size_ = 0;
    }

    bool onHeap() const noexcept { return size_ > Inline; }
    std::size_t size() const noexcept { return size_; }
    std::string_view view() const noexcept {
        return {onHeap() ? heap() : bytes_, size_};
    }

private:
    // The pointer to an out-of-line copy is kept in the inline room itself.
    char* heap() const noexcept {
        char* p;
        std::memcpy(&p, bytes_, sizeof(p));
        return p;
    }

    char bytes_[Inline];
    std::uint32_t size_ = 0;
};

}  // namespace vg
