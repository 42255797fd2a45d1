// The one raw framed connection and the one fake server of every suite that
// talks to a server over 127.0.0.1: a RawConnection sends and receives framed
// messages byte by byte, so a test can also send what no well-behaved library
// would (split, stalled, oversized or malformed messages); a FakePeer listens
// and plays a server by script, each accepted connection being a
// RawConnection too.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FrameReader.h"

namespace testsupport {

using namespace std::chrono_literals;

// Bound for anything that should happen promptly; generous for a busy machine.
constexpr std::chrono::milliseconds kWait = 5s;

struct Frame {
    uint32_t type = 0;
    std::vector<char> payload;
};

// Payload helpers (wire format: 4-byte big-endian integers; counted strings,
// the count including the NUL, padded to a multiple of 4).
std::vector<char> u32(uint32_t v);
std::vector<char> counted(const std::string& text);
std::vector<char> concat(std::initializer_list<std::vector<char>> parts);
std::vector<char> bytes(const std::string& text);
// The integer at `offset`; throws std::runtime_error past the end.
uint32_t u32At(const std::vector<char>& payload, size_t offset);
// Decodes "serial" and "reason" of a failure answer.
uint32_t exceptionSerial(const Frame& f);
std::string exceptionReason(const Frame& f);

// One TCP connection to a server on 127.0.0.1, used like a client library;
// also the far end of a fake peer's accepted connection.
class RawConnection {
  public:
    // Throws std::runtime_error when it cannot connect.
    explicit RawConnection(uint16_t port);
    // Takes over an already connected socket.
    static std::unique_ptr<RawConnection> adopt(int fd);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // False when the bytes could not all be sent (the peer has gone).
    bool sendFrame(uint32_t type, const std::vector<char>& payload = {});
    bool sendBytes(const std::vector<char>& bytes);
    static std::vector<char> frameBytes(uint32_t type, const std::vector<char>& payload);

    // The next frame within `timeout`; nothing on timeout or end of stream.
    std::optional<Frame> receive(std::chrono::milliseconds timeout = kWait);
    // The next frame of `type`, skipping others; nothing on timeout.
    std::optional<Frame> receiveType(uint32_t type, std::chrono::milliseconds timeout = kWait);
    // Waits until the peer closes the connection (frames still arriving are
    // dropped); false when it is still open after `timeout`.
    bool waitClosed(std::chrono::milliseconds timeout = kWait);

    // 500 -> 501: the handle (0 when refused); 0xffff on no answer.
    uint16_t join(const std::string& name);
    // A request answered by one frame.
    std::optional<Frame> request(uint32_t type, const std::vector<char>& payload = {});

    bool closedByPeer() const { return closed_; }
    int fd() const { return fd_; }
    // Closing then sends a reset instead of an orderly end.
    void setLingerZero();
    void close();

  private:
    RawConnection() = default;
    int fd_ = -1;
    bool closed_ = false;
    FrameReader reader_;
};

// The local port of a connected socket: the port a server reports for it.
uint16_t localPort(int fd);

// Tries one connection to `address` (an IPv4 address in host order) at
// `port`: 0 when accepted, else the error. 127.0.0.2 is loopback too, but
// only a wildcard listener answers there.
int connectError(uint32_t address, uint16_t port);

// A loopback listener that plays a server by script: each accepted
// connection, one after another, is handed to `script` on the peer's own
// thread and closed when the script returns. `stopping` turns true when the
// peer is being destroyed, so a script that waits can give up.
class FakePeer {
  public:
    using Script = std::function<void(RawConnection& conn, const std::atomic<bool>& stopping)>;
    explicit FakePeer(Script script);
    // For a script that ends on its own, without watching `stopping`.
    explicit FakePeer(std::function<void(RawConnection& conn)> script);
    ~FakePeer();
    FakePeer(const FakePeer&) = delete;
    FakePeer& operator=(const FakePeer&) = delete;
    uint16_t port() const { return port_; }

  private:
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A registry that answers each request with `reply`, or never answers (and
// holds the connection open) when `reply` is empty.
std::unique_ptr<FakePeer> fakeRegistry(std::optional<Frame> reply);

}  // namespace testsupport
