// One framed TCP connection: the socket, the bounded connect, whole-message
// sends and a reader that keeps partial messages until they are complete.
// Private to the library; Registry and Executive word its results.
//
// Ownership: owns the socket; the destructor closes it.
// Threading: one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "rticlient/Errors.h"
#include "rticlient/Types.h"

namespace rticlient {

class Connection {
  public:
    using Clock = std::chrono::steady_clock;

    struct ConnectFailure {
        ConnectError::Cause cause = ConnectError::Cause::Other;
        int error = 0;    // errno
        std::string why;  // the resolver's text for Unresolvable
    };

    // Resolves `host` (IPv4) and connects within `timeout`: the connection,
    // or nothing with `failure` filled.
    static std::unique_ptr<Connection> open(const std::string& host, uint16_t port,
                                            std::chrono::milliseconds timeout,
                                            ConnectFailure& failure);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Writes header and payload whole before `deadline`. Returns the bytes
    // written; on a shortfall error() holds errno (ETIMEDOUT at the deadline).
    size_t send(uint32_t type, const void* data, size_t size, Clock::time_point deadline);

    enum class Read { Frame, Timeout, Closed, Broken, TooLarge, WaitFailed };
    // The next whole message before `deadline`. Whole messages already
    // received are delivered even after the peer closed. At the deadline the
    // socket is still looked at once, so an answer already there is taken.
    Read read(Message& out, Clock::time_point deadline);

    int error() const { return error_; }
    uint32_t announcedLength() const { return announced_; }  // after TooLarge
    int fd() const { return fd_; }

  private:
    explicit Connection(int fd) : fd_(fd) {}
    // A whole message from the buffer, if there is one.
    bool takeFrame(Message& out, bool& tooLarge);

    int fd_;
    Bytes buffer_;
    size_t start_ = 0;  // first unread byte of buffer_
    bool ended_ = false;
    int error_ = 0;
    uint32_t announced_ = 0;
};

}  // namespace rticlient
