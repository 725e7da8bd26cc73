// Log output: line assembly, the buffered writer and the re-entrant log lock.
#include "log/log.h"

#include <sys/uio.h>
#include <cerrno>
#include <cstring>

#include "platform/thread_id.h"

namespace vg {

namespace {

LogLock gLogLock;

}  // namespace

LogLock& logLock() noexcept {
    return gLogLock;
}

void LogWriter::install(char* buffer, std::size_t capacity) noexcept {
    buffer_ = buffer;
    capacity_ = capacity;
    buffered_ = 0;
}

void LogWriter::remove() noexcept {
    buffer_ = nullptr;
    capacity_ = 0;
    buffered_ = 0;
}

bool LogWriter::write(std::string_view piece, std::string_view tail) noexcept {
    std::string_view parts[2] = {piece, tail};
    for (;;) {
        std::size_t left = parts[0].size() + parts[1].size();
        if (left == 0) return true;
        if (buffered_ + left <= capacity_) {
            for (std::string_view part : parts) {
                if (part.empty()) continue;  // an empty view may carry a null pointer
                std::memcpy(buffer_ + buffered_, part.data(), part.size());
                buffered_ += part.size();
            }
            return true;
        }
        iovec iov[3];
        int n = 0;
        if (buffered_ > 0) iov[n++] = {buffer_, buffered_};
        for (std::string_view part : parts) {
            if (!part.empty()) iov[n++] = {const_cast<char*>(part.data()), part.size()};
        }
        ssize_t took = ::writev(fd_, iov, n);
        if (took < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        // The kernel may take less than offered: drop what it took from the
        // front, first from the buffer, then from the piece and its tail.
        auto taken = static_cast<std::size_t>(took);
        std::size_t fromBuffer = taken < buffered_ ? taken : buffered_;
        if (fromBuffer > 0) {
            std::memmove(buffer_, buffer_ + fromBuffer, buffered_ - fromBuffer);
            buffered_ -= fromBuffer;
            taken -= fromBuffer;
        }
        for (std::string_view& part : parts) {
            std::size_t cut = taken < part.size() ? taken : part.size();
            part.remove_prefix(cut);
            taken -= cut;
        }
    }
}

bool LogWriter::flush() noexcept {
    while (buffered_ > 0) {
        iovec iov{buffer_, buffered_};
        ssize_t took = ::writev(fd_, &iov, 1);
        if (took < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        auto taken = static_cast<std::size_t>(took);
        std::memmove(buffer_, buffer_ + taken, buffered_ - taken);
        buffered_ -= taken;
    }
    return true;
}

void LogLock::take(char* buffer, std::size_t capacity) noexcept {
    std::int32_t self = platform::currentThreadId();
    if (holder_.load(std::memory_order_relaxed) == self) {
        ++depth_;
    } else {
        mutex_.lock();
        holder_.store(self, std::memory_order_relaxed);
        depth_ = 1;
    }
    (void)writer_.flush();
    writer_.install(buffer, capacity);
}

void LogLock::release() noexcept {
    (void)writer_.flush();
    // Bytes whose write failed are dropped here: nothing carries over to the next line.
    writer_.remove();
    if (--depth_ == 0) {
        holder_.store(-1, std::memory_order_relaxed);
        mutex_.unlock();
    }
}

namespace {

std::string_view levelText(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::error: return "error";
        case LogLevel::warning: return "warning";
        case LogLevel::info: return "info";
    }
    return "error";
}

std::string_view scopeText(LogScope scope) noexcept {
    switch (scope) {
        case LogScope::none: return {};
        case LogScope::main: return "main";
        case LogScope::config: return "config";
        case LogScope::keycache: return "keycache";
        case LogScope::sasl: return "sasl";
    }
    return {};
}

bool writeNumber(LogWriter& writer, std::uint64_t n, std::string_view tail) noexcept {
    char digits[20];
    std::size_t pos = sizeof(digits);
    do {
        digits[--pos] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    return writer.write({digits + pos, sizeof(digits) - pos}, tail);
}

bool writePiece(LogWriter& writer, const LogPiece& piece, std::string_view tail) noexcept {
    switch (piece.kind) {
        case LogPiece::Kind::text: return writer.write(piece.text, tail);
        case LogPiece::Kind::number: return writeNumber(writer, piece.number, tail);
        case LogPiece::Kind::error:
            return writer.write("error.") && writer.write(errorName(piece.error), tail);
    }
    return false;
}

class LineHold {
public:
    LineHold() noexcept { gLogLock.take(buffer_, sizeof(buffer_)); }
    ~LineHold() { gLogLock.release(); }
    LineHold(const LineHold&) = delete;
    LineHold& operator=(const LineHold&) = delete;

private:
    char buffer_[LogWriter::kBufferSize];
};

}  // namespace

void logPieces(LogLevel level, LogScope scope, const LogPiece* pieces, std::size_t count) noexcept {
    LineHold hold;
    LogWriter& w = gLogLock.writer();
    // A failed write ends the line; what is still buffered gets one more try
    // from the release's flush and is then dropped.
    bool ok = w.write(levelText(level));
    if (scope == LogScope::none) {
        ok = ok && w.write(": ");
    } else {
        ok = ok && w.write("(") && w.write(scopeText(scope)) && w.write("): ");
    }
    // The line feed travels with the last piece, so a line that does not fit
    // the buffer still leaves in as few writes as its pieces need.
    for (std::size_t i = 0; ok && i + 1 < count; ++i) ok = writePiece(w, pieces[i], {});
    if (ok) (void)(count == 0 ? w.write("\n") : writePiece(w, pieces[count - 1], "\n"));
}

void logFatal(ErrorCode code) noexcept {
    logLine(LogLevel::error, LogScope::none, errorName(code));
}

}  // namespace vg
