// One client connection that carries framed messages: connect within a time
// limit, send one framed message, and wait until a deadline for the next
// whole frame. The registry and executive clients are built on it; they
// differ only in what they make of each outcome.
//
// Ownership: the channel owns its socket; the destructor closes it.
// Threading: not thread-safe and starts no thread; one caller at a time.
#pragma once

#include <ace/INET_Addr.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "FrameReader.h"
#include "RTImessageStream.h"

class FramedChannel {
  public:
    using Clock = std::chrono::steady_clock;

    // One whole incoming frame.
    struct Message {
        uint32_t type = 0;
        std::vector<char> payload;
    };

    // What one read() ended with. Only Frame fills the message.
    enum class Read {
        Frame,       // a whole frame
        Timeout,     // the deadline passed first (the connection stays usable)
        Closed,      // the peer closed the connection, or it was closed here
        Broken,      // the connection failed; error() tells why
        WaitFailed,  // waiting for the socket failed; error() tells why
        TooLarge,    // the next header announces more than kMaxPayload
    };

    FramedChannel() = default;
    ~FramedChannel() { close(); }
    FramedChannel(const FramedChannel&) = delete;
    FramedChannel& operator=(const FramedChannel&) = delete;

    // The IPv4 address of host:port (platform::resolveIPv4: IPv4 only, so
    // "localhost" is 127.0.0.1 even where the system prefers IPv6). False
    // when the host does not resolve.
    static bool address(const std::string& host, uint16_t port, ACE_INET_Addr& out);

    // Connects within `limit`, dropping anything buffered from an earlier
    // connection. Returns 0, or the errno of the failed attempt (ETIME when
    // the limit passed); the socket is then closed.
    int connect(const ACE_INET_Addr& address, std::chrono::milliseconds limit);
    // Sends one framed message; returns what RTImessageStream::sendMsg does
    // (length + 8 when the whole message went out).
    ssize_t send(uint32_t type, const void* data, size_t length) {
        return stream_.sendMsg(type, static_cast<uint32_t>(length), data);
    }
    // Waits until `deadline` for the next whole frame. Frames already
    // buffered are delivered first, also after the socket was closed.
    Read read(Message& out, Clock::time_point deadline);

    // Describes the frame the last read() was still waiting for: bytes of it
    // received, and once all 8 header bytes are in, its type and length.
    size_t pendingBytes() const { return reader_.buffered(); }
    uint32_t pendingType() const { return reader_.type(); }
    uint32_t pendingLength() const { return reader_.length(); }
    // The errno behind the last Broken or WaitFailed.
    int error() const { return error_; }

    // Closes the socket; bytes already received stay readable by read().
    void close();
    bool open() const { return stream_.get_handle() != ACE_INVALID_HANDLE; }
    ACE_HANDLE handle() const { return stream_.get_handle(); }
    RTImessageStream& stream() { return stream_; }

  private:
    RTImessageStream stream_;
    FrameReader reader_;
    int error_ = 0;
};
