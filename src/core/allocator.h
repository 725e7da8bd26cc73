// The process allocator handle: every dynamic allocation goes through one, so
// a test can hand a subsystem an allocator that fails on purpose.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace vg {

struct Allocator {
    // nullptr when the memory cannot be had. Zero bytes allocate nothing and give nullptr.
    void* (*allocateFn)(void* context, std::size_t size) noexcept;
    void (*releaseFn)(void* context, void* block, std::size_t size) noexcept;
    // Shrinks a block in place where it can; nullptr when it cannot be had.
    void* (*shrinkFn)(void* context, void* block, std::size_t oldSize,
                      std::size_t newSize) noexcept;
    void* context;

    void* allocate(std::size_t size) const noexcept {
        return size == 0 ? nullptr : allocateFn(context, size);
    }
    void release(void* block, std::size_t size) const noexcept {
        if (block != nullptr) releaseFn(context, block, size);
    }
    void* shrink(void* block, std::size_t oldSize, std::size_t newSize) const noexcept {
        return shrinkFn(context, block, oldSize, newSize);
    }
};

// libc's posix_memalign and free.
const Allocator& processAllocator() noexcept;

// A byte string owned through an allocator. Empty strings own nothing.
class OwnedBytes {
public:
    OwnedBytes() noexcept = default;
    OwnedBytes(const Allocator& alloc, char* data, std::size_t size) noexcept
        : alloc_(&alloc), data_(data), size_(size) {}
    OwnedBytes(OwnedBytes&& other) noexcept
        : alloc_(other.alloc_), data_(other.data_), size_(other.size_) {
        other.data_ = nullptr;
        other.size_ = 0;
    }
    OwnedBytes& operator=(OwnedBytes&& other) noexcept {
        if (this != &other) {
            reset();
            alloc_ = other.alloc_;
            data_ = other.data_;
            size_ = other.size_;
            other.data_ = nullptr;
            other.size_ = 0;
        }
        return *this;
    }
    OwnedBytes(const OwnedBytes&) = delete;
    OwnedBytes& operator=(const OwnedBytes&) = delete;
    ~OwnedBytes() { reset(); }

    // A copy of `bytes`; false (and nothing owned) when the allocation failed.
    bool assign(const Allocator& alloc, std::string_view bytes) noexcept {
        char* copy = static_cast<char*>(alloc.allocate(bytes.size()));
        if (copy == nullptr && !bytes.empty()) return false;
        if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
        reset();
        alloc_ = &alloc;
        data_ = copy;
        size_ = bytes.size();
        return true;
    }

    void reset() noexcept {
        if (data_ != nullptr) alloc_->release(data_, size_);
        data_ = nullptr;
        size_ = 0;
    }

    std::string_view view() const noexcept { return {data_, size_}; }
    char* data() noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

private:
    const Allocator* alloc_ = nullptr;
    char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace vg
