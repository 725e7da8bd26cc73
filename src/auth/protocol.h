// The line protocol of one client connection: greeting, line framing, the
// AUTH request and its one-line reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "log/result.h"

namespace vg {

class KeyCache;

enum class ConnectionState : std::uint8_t { accepted = 0, open = 1, closing = 2 };

inline constexpr std::size_t kSlotBufferSize = 4096;
inline constexpr std::size_t kReplyBufferSize = 512;
inline constexpr std::string_view kGreeting = "VERSION\t1\t2\nMECH\tPLAIN\tplaintext\nDONE\n";
// A request line begins with kAuthPrefix; its credential is the parameter
// that begins with kRespPrefix.
inline constexpr std::string_view kAuthPrefix = "AUTH\t";
inline constexpr std::string_view kRespPrefix = "resp=";
// Replies: "OK\t{id}\tuser={owner}\n" and "FAIL\t{id}\treason={reason}\n".
inline constexpr std::string_view kOkReplyHead = "OK\t";
inline constexpr std::string_view kOkReplyUser = "\tuser=";
inline constexpr std::string_view kFailReplyHead = "FAIL\t";
inline constexpr std::string_view kFailReplyReason = "\treason=";

struct ConnectionSlot {
    std::uint64_t fill = 0;
    std::int32_t fd = -1;
    ConnectionState state = ConnectionState::accepted;
    // Bytes [0, fill) are valid; the rest is kept zeroed or wiped so no
    // consumed input lingers in it.
    char buffer[kSlotBufferSize] = {};
};

// One write of the greeting (retried on EINTR); a short write is success.
Status sendGreeting(int fd) noexcept;

// What handleReadable made of the input.
enum class ReadOutcome : std::uint8_t {
    waiting,   // no complete request yet: the slot stays open
    answered,  // a request line was answered: closing
    ended,     // nothing to read at first, end of stream or a read error: closing
};

// Handles one readable event: reads until the read would block, the buffer is
// full or a reply has been written. Leaves `state` open or closing; a closing
// slot's input has already been wiped.
ReadOutcome handleReadable(ConnectionSlot& slot, KeyCache& cache) noexcept;

// Wipes the used input bytes and sets fill to 0.
void wipeSlotInput(ConnectionSlot& slot) noexcept;

}  // namespace vg
