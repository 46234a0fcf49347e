#pragma once

#include <sys/types.h>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The client side of the agent's control socket, shared by the hooks and vemloctl, and the peer
// check that the agent's server applies to its clients.
namespace vemlo::control {

// Whether the process at the other end of a connected Unix socket runs under our effective user
// id. Both ends refuse a peer of another local user: the lever decides tool approvals, so nobody
// else may move it, read it, or pose as the agent. `peerUid`, when given, receives the peer's
// user id when it can be read.
bool peerIsSameUser(int fd, uid_t* peerUid = nullptr);

// Why an exchange brought no reply.
struct Failure {
    std::string reason;              // in words, for people
    std::optional<uid_t> otherUser;  // set when the socket belongs to, or is served by, another user id
};

// A reply must arrive whole in one read of at most this many bytes.
inline constexpr size_t kMaxReplyBytes = 4096;

// One exchange over a fresh connection to `socketPath`: `request` goes out in a single write, and
// the reply is exactly what a single read of at most kMaxReplyBytes returns (the agent answers with
// one short line, then closes). `timeoutSeconds` bounds the write and the read separately; it must
// be finite, at least one microsecond and below 2^31 s. Absent on every failure, with `failure`
// filled in when given; a peer of another user id is refused before anything is sent.
std::optional<std::string> exchange(const std::string& socketPath, std::string_view request, double timeoutSeconds,
                                    Failure* failure = nullptr);

}  // namespace vemlo::control
