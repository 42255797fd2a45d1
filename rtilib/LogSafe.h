// Peers' bytes on our log lines. Anything a peer sent (names, console-like
// text, unknown verbs) goes through logSafe before it is written, so that a
// newline cannot forge a line of ours, escape codes never reach an
// operator's terminal, and one peer's 16 MiB name costs the log a few dozen
// bytes. peerText names the far end of a socket for accept, close and
// refusal lines.
//
// Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace RTIP {

// The longest piece of a peer's text a log line carries: the length of an
// execution or federate name.
constexpr size_t kLogTextBytes = 63;

// `text` cut to `maxBytes` bytes, then every control byte (0x00-0x1f, 0x7f)
// and backslash written as \xNN; "..." follows when it was cut. Printable
// bytes, UTF-8 among them, pass unchanged. At most 4 * maxBytes + 3 bytes.
std::string logSafe(std::string_view text, size_t maxBytes = kLogTextBytes);

// "ADDRESS:PORT" of the peer connected to socket `fd`, numeric, never
// resolved (so never slow); "unknown peer" when the socket has none.
std::string peerText(int fd);

}  // namespace RTIP
