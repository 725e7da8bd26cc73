// The line protocol of one client connection: framing in the slot's buffer,
// the first AUTH line answered, every other line dropped.
#include "auth/protocol.h"

#include <sodium.h>
#include <algorithm>
#include <cstring>
#include <optional>

#include "auth/plain.h"
#include "log/syscalls.h"

namespace vg {

namespace {

constexpr std::string_view kNoMechanism = "no mechanism";
constexpr std::string_view kUnsupportedMechanism = "unsupported mechanism";
constexpr std::string_view kRequestTooLarge = "request too large";

// The field of `line` that starts at `start`; `next` gets the position of the
// tab that ends it, or npos when it is the last field.
std::string_view fieldAt(std::string_view line, std::size_t start, std::size_t& next) noexcept {
    next = line.find('\t', start);
    const std::size_t end = next == std::string_view::npos ? line.size() : next;
    return std::string_view(line.data() + start, end - start);
}

// Only A-Z are folded, so no other byte can pass for a letter of "PLAIN".
bool isPlainMechanism(std::string_view mechanism) noexcept {
    constexpr std::string_view kPlain = "plain";
    if (mechanism.size() != kPlain.size()) return false;
    for (std::size_t i = 0; i < kPlain.size(); ++i) {
        char c = mechanism[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kPlain[i]) return false;
    }
    return true;
}

// A reply that does not fit the buffer is not sent at all; the outcome of the
// single write is of no consequence, the connection closes either way.
// Input is refused before the reply leaves: a client that reuses the
// connection and writes its next request between our reply and our close
// would otherwise see that write succeed and the request vanish, while a
// failed write makes it reconnect. That holds on Linux and FreeBSD 15; on
// FreeBSD 14 the peer's write still succeeds (see shutdownRead) and only the
// close that follows the reply at once tells it, as EOF.
void writeReply(int fd, bool failed, std::string_view id, std::string_view text) noexcept {
    sys::shutdownRead(fd);
    const std::string_view head = failed ? kFailReplyHead : kOkReplyHead;
    const std::string_view middle = failed ? kFailReplyReason : kOkReplyUser;
    const std::string_view pieces[] = {head, id, middle, text, "\n"};
    std::size_t total = 0;
    for (std::string_view piece : pieces) total += piece.size();
    if (total > kReplyBufferSize) return;

    char reply[kReplyBufferSize];
    std::size_t used = 0;
    for (std::string_view piece : pieces) {
        if (!piece.empty()) std::memcpy(reply + used, piece.data(), piece.size());
        used += piece.size();
    }
    (void)sys::write(fd, reply, used);
}

// `line` begins with "AUTH\t" and has no newline.
void answerAuth(int fd, std::string_view line, KeyCache& cache) noexcept {
    std::size_t next = 0;
    const std::string_view id = fieldAt(line, kAuthPrefix.size(), next);
    if (next == std::string_view::npos) return writeReply(fd, true, id, kNoMechanism);
    const std::string_view mechanism = fieldAt(line, next + 1, next);
    if (!isPlainMechanism(mechanism)) return writeReply(fd, true, id, kUnsupportedMechanism);

    std::optional<std::string_view> value;
    while (next != std::string_view::npos) {
        const std::string_view parameter = fieldAt(line, next + 1, next);
        if (parameter.starts_with(kRespPrefix)) value = parameter.substr(kRespPrefix.size());
    }
    const AuthOutcome outcome = checkPlain(value, cache);
    writeReply(fd, outcome.failed, id, outcome.text);
}

// Frames the buffered input; bytes before `scanFrom` are known to hold no
// newline. True when the connection is finished (a reply was due).
bool frameInput(ConnectionSlot& slot, std::size_t scanFrom, KeyCache& cache) noexcept {
    const std::size_t fill = slot.fill;
    std::size_t lineStart = 0;
    while (const void* found = std::memchr(slot.buffer + scanFrom, '\n', fill - scanFrom)) {
        const auto newline =
            static_cast<std::size_t>(static_cast<const char*>(found) - slot.buffer);
        const std::string_view line(slot.buffer + lineStart, newline - lineStart);
        if (line.starts_with(kAuthPrefix)) {
            answerAuth(slot.fd, line, cache);
            return true;
        }
        lineStart = newline + 1;
        scanFrom = lineStart;
    }
    // Dropped lines are removed with one move, however many there were.
    if (lineStart != 0) {
        const std::size_t rest = fill - lineStart;
        std::memmove(slot.buffer, slot.buffer + lineStart, rest);
        sodium_memzero(slot.buffer + rest, lineStart);
        slot.fill = rest;
    }
    if (slot.fill == kSlotBufferSize) {
        writeReply(slot.fd, true, "0", kRequestTooLarge);
        return true;
    }
    return false;
}

ReadOutcome finish(ConnectionSlot& slot, ReadOutcome outcome) noexcept {
    slot.state = ConnectionState::closing;
    wipeSlotInput(slot);
    return outcome;
}

}  // namespace

Status sendGreeting(int fd) noexcept {
    Result<std::size_t> wrote = sys::write(fd, kGreeting.data(), kGreeting.size());
    if (!wrote) return wrote.error();
    return {};
}

ReadOutcome handleReadable(ConnectionSlot& slot, KeyCache& cache) noexcept {
    // Between events fill stays below the buffer size; anything else would
    // make the read below run past the buffer.
    if (slot.fill >= kSlotBufferSize) return finish(slot, ReadOutcome::ended);
    // Edge-triggered readiness reports waiting bytes only once, so read on
    // until the socket is drained rather than stopping after one read.
    for (bool first = true;; first = false) {
        const std::size_t before = slot.fill;
        Result<std::size_t> got =
            sys::read(slot.fd, slot.buffer + before, kSlotBufferSize - before);
        if (!got) {
            if (!first && got.error() == ErrorCode::WouldBlock) return ReadOutcome::waiting;
            return finish(slot, ReadOutcome::ended);
        }
        if (got.value() == 0) return finish(slot, ReadOutcome::ended);
        slot.fill = before + got.value();
        if (frameInput(slot, before, cache)) return finish(slot, ReadOutcome::answered);
    }
}

void wipeSlotInput(ConnectionSlot& slot) noexcept {
    const std::size_t used = std::min<std::uint64_t>(slot.fill, kSlotBufferSize);
    if (used != 0) sodium_memzero(slot.buffer, used);
    slot.fill = 0;
}

}  // namespace vg
