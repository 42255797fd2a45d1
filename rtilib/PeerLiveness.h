// Finding peers whose host vanished. A host that loses power or its cable
// never sends a reset: without help an idle connection to it stays open for
// good, and one with data pending waits for the kernel's retransmissions
// (about fifteen minutes). Every long-lived connection of the servers, and
// the executive's registry link, is armed here so that such a peer reads as
// a broken connection within the peer timeout:
//   - TCP keepalive probes an idle connection (first probe after half the
//     timeout, then six probes spread over the other half);
//   - TCP_USER_TIMEOUT ends a connection whose sent data stays unacknowledged
//     for the whole timeout.
//
// The timeout is RTI_PEER_TIMEOUT seconds (default 60, from 10 to 3600),
// read once per process. Thread-safe.
#pragma once

namespace platform {

constexpr unsigned kDefaultPeerTimeoutSeconds = 60;
constexpr unsigned kMinPeerTimeoutSeconds = 10;
constexpr unsigned kMaxPeerTimeoutSeconds = 3600;

// RTI_PEER_TIMEOUT when set to a whole number within the bounds, else the
// default (a value out of bounds or not a number is ignored).
unsigned peerTimeoutSeconds();

// Arms keepalive and the user timeout on socket `fd` for `seconds`. False
// (errno set) when the system refused an option; the connection still works,
// only without dead-peer detection.
bool watchPeerLiveness(int fd, unsigned seconds);
inline bool watchPeerLiveness(int fd) { return watchPeerLiveness(fd, peerTimeoutSeconds()); }

}  // namespace platform
