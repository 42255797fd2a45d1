// The load generator's side of the wire: loopback endpoints, frame helpers,
// an incremental frame parser fed by recv, and a client connection whose
// every wait is bounded by a deadline.
//
// Failures of the run (a server that does not answer in time, closes, or
// sends something wrong) are thrown as bench::Failure: the benchmark stops
// loudly rather than print figures that mean nothing.
//
// Threading: nothing here is shared; one Link and one FrameBuffer are used
// by one thread at a time (the setup thread, then the sender or the
// receiver thread, never both).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

using Ns = int64_t;  // nanoseconds of the steady clock

Ns nowNs();
constexpr Ns kMs = 1000 * 1000;
constexpr Ns kSec = 1000 * kMs;

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
[[noreturn]] void fail(const std::string& what);

constexpr size_t kHeaderSize = 8;
constexpr uint32_t kMaxPayload = 16u * 1024 * 1024;

// Message types the generator uses.
constexpr uint32_t kFederateLeft = 132;
constexpr uint32_t kJoin = 500, kJoinReply = 501;
constexpr uint32_t kResign = 504, kResignReply = 505;
constexpr uint32_t kAllocate = 506, kAllocateReply = 507;
constexpr uint32_t kVector = 510, kVectorReply = 511;
constexpr uint32_t kAdoptOffer = 518;
constexpr uint32_t kRelayed = 600;  // a type the executive does not handle
constexpr uint32_t kLookup = 904, kLookupReply = 905;

inline void put32(char* p, uint32_t v) {
    p[0] = static_cast<char>(v >> 24);
    p[1] = static_cast<char>(v >> 16);
    p[2] = static_cast<char>(v >> 8);
    p[3] = static_cast<char>(v);
}
inline uint32_t get32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}
// 64-bit fields of the generator's own payloads, in host order: only the
// generator reads them back.
inline void put64(char* p, uint64_t v) { std::memcpy(p, &v, 8); }
inline uint64_t get64(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// A counted string: count (text + NUL), the text, NUL, zero padding to 4.
std::vector<char> countedString(const std::string& text);

// Only loopback addresses are accepted: the benchmark never leaves the machine.
struct Endpoint {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    std::string str() const { return host + ":" + std::to_string(port); }
};
bool parseEndpoint(const std::string& text, Endpoint& out);

// Frames received on one connection. fill() appends one recv's worth;
// next() takes whole frames out in order and keeps a partial one for later.
class FrameBuffer {
  public:
    explicit FrameBuffer(size_t readChunk = 64 * 1024) : chunk_(readChunk) {}
    // One recv of at most `chunk` bytes; returns what recv returned.
    ssize_t fill(int fd);
    struct View {
        uint32_t type;
        uint32_t length;
        const char* payload;  // valid until the next fill()
    };
    // True with `out` set when a whole frame is buffered. Throws Failure on a
    // header announcing more than kMaxPayload.
    bool next(View& out);
    size_t buffered() const { return end_ - start_; }

  private:
    std::vector<char> buf_;
    size_t start_ = 0, end_ = 0;
    size_t chunk_;
};

struct Message {
    uint32_t type = 0;
    std::vector<char> payload;
};

// A client connection with TCP_NODELAY. The socket is non-blocking and
// every wait polls until a deadline, except while setBlocking(true) is in
// force (the sender's data phase, bounded by a send timeout instead).
class Link {
  public:
    Link() = default;
    ~Link() { close(); }
    Link(Link&& o) noexcept;
    Link& operator=(Link&& o) noexcept;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // `readChunk`: the most one recv takes (receivers of the data phase use
    // more). `receiveBuffer` > 0 fixes SO_RCVBUF before connecting.
    void open(const Endpoint& to, Ns deadline, size_t readChunk = 64 * 1024, int receiveBuffer = 0);
    void close();
    int fd() const { return fd_; }
    FrameBuffer& in() { return in_; }

    void sendBytes(const char* data, size_t n, Ns deadline);
    void send(uint32_t type, const void* payload, size_t n, Ns deadline);
    // The next frame before the deadline; Failure on timeout, end of stream
    // or error. `what` names the wait in the failure message.
    Message receive(Ns deadline, const char* what);
    // The next frame of `type`, skipping departure notices and relays.
    Message receiveType(uint32_t type, Ns deadline, const char* what);
    // Discards input until the peer closes; false if still open at the deadline.
    bool waitClosed(Ns deadline);
    // Blocking writes for the data phase, each bounded by `sendTimeoutMs`.
    void setBlocking(bool blocking, int sendTimeoutMs = 10000);

  private:
    bool waitFor(short events, Ns deadline);
    int fd_ = -1;
    FrameBuffer in_;
};

// Sends `type`, then waits for `answerType`; returns its payload.
std::vector<char> request(Link& link, uint32_t type, const std::vector<char>& payload,
                          uint32_t answerType, Ns deadline, const char* what);

}  // namespace bench
