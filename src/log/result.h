// Value-or-ErrorCode result carried by every fallible operation.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>

#include "log/error_code.h"

namespace vg {

// Implicit construction from ErrorCode reads as `return ErrorCode::FileNotFound;`.
template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)), error_(ErrorCode::None) {}  // NOLINT
    Result(ErrorCode error) : value_(), error_(error) {
        assert(error != ErrorCode::None);
    }  // NOLINT

    bool ok() const noexcept { return error_ == ErrorCode::None; }
    explicit operator bool() const noexcept { return ok(); }
    ErrorCode error() const noexcept { return error_; }

    T& value() & noexcept {
        assert(ok());
        return value_;
    }
    const T& value() const& noexcept {
        assert(ok());
        return value_;
    }
    T&& value() && noexcept {
        assert(ok());
        return std::move(value_);
    }
    T* operator->() noexcept { return &value(); }
    const T* operator->() const noexcept { return &value(); }

private:
    static_assert(std::is_default_constructible_v<T>, "Result<T> needs a default-constructible T");
    T value_;
    ErrorCode error_;
};

// Success or an ErrorCode.
class [[nodiscard]] Status {
public:
    Status() noexcept = default;
    Status(ErrorCode error) noexcept : error_(error) {}  // NOLINT
    bool ok() const noexcept { return error_ == ErrorCode::None; }
    explicit operator bool() const noexcept { return ok(); }
    ErrorCode error() const noexcept { return error_; }

private:
    ErrorCode error_ = ErrorCode::None;
};

}  // namespace vg
