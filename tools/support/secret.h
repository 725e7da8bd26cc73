// Storage for passwords and for files that may hold them: allocated once,
// never grown (so no stray copy is left behind), wiped when released.
#pragma once

#include <sodium.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace vg::tools {

class SecretBuffer {
public:
    explicit SecretBuffer(std::size_t capacity)
        : data_(std::make_unique<char[]>(capacity)), capacity_(capacity) {}
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
    ~SecretBuffer() { sodium_memzero(data_.get(), capacity_); }

    // False, and nothing appended, when `bytes` does not fit.
    bool append(std::string_view bytes) noexcept {
        if (bytes.size() > capacity_ - size_) return false;
        if (!bytes.empty()) std::memcpy(data_.get() + size_, bytes.data(), bytes.size());
        size_ += bytes.size();
        return true;
    }
    std::string_view view() const noexcept { return {data_.get(), size_}; }

    // For writers that fill the buffer themselves.
    char* data() noexcept { return data_.get(); }
    std::size_t capacity() const noexcept { return capacity_; }
    void resize(std::size_t size) noexcept { size_ = size < capacity_ ? size : capacity_; }

private:
    std::unique_ptr<char[]> data_;
    std::size_t capacity_;
    std::size_t size_ = 0;
};

}  // namespace vg::tools
