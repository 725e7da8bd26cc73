// What vellumgard-key lets into a keys-file line, judged by the daemon's own
// rules: the line grammar, the credential limit and the reply buffer.
#pragma once

#include <cstddef>
#include <string_view>

#include "auth/plain.h"
#include "auth/protocol.h"
#include "support/failure.h"
#include "support/secret.h"

namespace vg::tools {

// Half the daemon's reply buffer: "OK\t{id}\tuser={owner}\n" keeps the other
// half for the client's request id, or the client would get no answer.
inline constexpr std::size_t kMaxOwner = kReplyBufferSize / 2 - 1;

// The longest owner any reply can carry: one with an empty request id.
inline constexpr std::size_t kLongestReplyOwner =
    kReplyBufferSize - kOkReplyHead.size() - kOkReplyUser.size() - 1;

static_assert(kMaxOwner < kLongestReplyOwner);

// Room for the longest line: key, tab, owner, line feed.
inline constexpr std::size_t kMaxLine = kMaxPasswordSize + kMaxOwner + 2;

// Refuses owners that would change on the way through the keys file, carry
// control bytes into replies and logs, or not fit a reply.
Failure checkOwner(std::string_view owner);

// Refuses passwords no PLAIN credential the daemon accepts can carry.
Failure checkPassword(std::string_view password);

// Appends "{key}\t{owner}\n" to `line`; refused unless the daemon's keys-file
// reader gets exactly that key and owner back from it.
Failure appendKeyLine(std::string_view key, std::string_view owner, SecretBuffer& line);

}  // namespace vg::tools
