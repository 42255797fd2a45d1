// A TCP stream with the RTI framing: an 8-byte header (type, payload length,
// both 32-bit big-endian) followed by the payload.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>

#include <ace/SOCK_Stream.h>

#include "MsgType.h"

constexpr uint32_t kHeaderSize = 8;
constexpr uint32_t kMaxPayload = 16u * 1024u * 1024u;  // larger headers are refused

class RTImessageStream : public ACE_SOCK_Stream {
public:
    RTImessageStream() = default;
    RTImessageStream(const RTImessageStream&) = delete;
    RTImessageStream& operator=(const RTImessageStream&) = delete;

    // Writes header and payload in one gathered write (retrying partial
    // writes) with MSG_NOSIGNAL, so a vanished peer gives an error instead of
    // SIGPIPE. Thread-safe: concurrent callers on one stream never interleave
    // their messages. Returns length + 8 on success, else the bytes written
    // (or -1 with errno). `data` may be null when length is 0.
    ssize_t sendMsg(uint32_t type, uint32_t length, const void* data);

    // Blocking reads, for synchronous clients. recvHeader returns 8 for a
    // whole header, 0 when the peer closed before any byte, -1 on error, or
    // the number of bytes read before the stream ended.
    ssize_t recvHeader(uint32_t& type, uint32_t& length);
    // Returns length when the whole payload arrived; anything else is a bad
    // message (errno tells why).
    ssize_t recvMsg(void* buffer, uint32_t length);

    // Bounds every blocking send (SO_SNDTIMEO), so a peer that stops
    // reading cannot hold a sender forever. 0 means no bound.
    int setSendTimeout(unsigned milliseconds);

private:
    std::mutex sendLock_;  // serialises writers on this stream
};
