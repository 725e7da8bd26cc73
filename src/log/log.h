// Log lines on standard error: "{level}({scope}): {message}\n", written
// through a 64-byte buffer under a re-entrant process-wide lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "log/error_code.h"
#include "log/mutex.h"

namespace vg {

enum class LogLevel : std::uint8_t { error, warning, info };
enum class LogScope : std::uint8_t { none, main, config, keycache, sasl };

// Buffered writer on descriptor 2. A line's buffer is lent to it for the
// length of the line; between lines it has none.
class LogWriter {
public:
    static constexpr std::size_t kBufferSize = 64;

    // Write-all of one piece (and a tail that must leave with it): buffered
    // while it fits, else one writev of the buffered bytes, the piece and the
    // tail. False once a write failed.
    bool write(std::string_view piece, std::string_view tail = {}) noexcept;
    // Writes out whatever is buffered. False when a write failed.
    bool flush() noexcept;

    void install(char* buffer, std::size_t capacity) noexcept;
    void remove() noexcept;

private:
    int fd_ = 2;
    char* buffer_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t buffered_ = 0;
};

// Re-entrant for the thread that holds it; that thread's open line is flushed
// before a nested line starts, so bytes leave in the order they were produced.
class LogLock {
public:
    void take(char* buffer, std::size_t capacity) noexcept;
    void release() noexcept;
    LogWriter& writer() noexcept { return writer_; }

    std::int32_t holder() const noexcept { return holder_.load(std::memory_order_relaxed); }
    std::uint64_t depth() const noexcept { return depth_; }

private:
    Mutex mutex_;
    std::atomic<std::int32_t> holder_{-1};
    std::uint64_t depth_ = 0;
    LogWriter writer_;
};

LogLock& logLock() noexcept;

// One piece of a message: literal text, a byte string, an unsigned number,
// or an ErrorCode in its message form ("error." and the name).
struct LogPiece {
    enum class Kind : std::uint8_t { text, number, error };

    LogPiece(std::string_view s) noexcept : kind(Kind::text), text(s) {}  // NOLINT
    LogPiece(const char* s) noexcept : kind(Kind::text), text(s) {}       // NOLINT
    template <typename N>
    requires(std::is_integral_v<N>&& std::is_unsigned_v<N> && !std::is_same_v<N, bool> &&
             !std::is_same_v<N, char>) LogPiece(N n)
    noexcept : kind(Kind::number), number(n) {}                      // NOLINT
    LogPiece(ErrorCode e) noexcept : kind(Kind::error), error(e) {}  // NOLINT

    Kind kind;
    std::string_view text{};
    std::uint64_t number = 0;
    ErrorCode error = ErrorCode::None;
};

void logPieces(LogLevel level, LogScope scope, const LogPiece* pieces, std::size_t count) noexcept;

template <typename... Pieces>
void logLine(LogLevel level, LogScope scope, const Pieces&... pieces) noexcept {
    const LogPiece list[] = {LogPiece(pieces)..., LogPiece("")};
    logPieces(level, scope, list, sizeof...(Pieces));
}

// The fatal start-up line "error: {name}\n".
void logFatal(ErrorCode code) noexcept;

}  // namespace vg
