// refrelay: the reference the executive's relay path is measured against.
//
// One thread, one epoll set, non-blocking sockets with TCP_NODELAY and the
// kernel's default buffer sizes. It answers just enough requests for the
// load generator to drive it exactly as it drives the executive:
//   500 join       -> 501 with the lowest free handle of 1..20 (0 when none)
//   504 resign     -> 505, then the connection is closed once its output is out
//   506 number     -> 507 with a process-wide counter
//   904 look-up    -> 905 with this relay's own reference (port and host name,
//                     encoded as the registry encodes an executive's reference)
// and relays every other type, byte for byte, to every other connection, in
// the order each sender sent them.
//
// Flow control is the executive's: every receiver has a bounded output queue
// (kQueueLimit messages); a sender is not read while any receiver it would
// write to is full; nothing is ever dropped. Answers are queued behind the
// relays already waiting for that connection.
//
// It is meant to be what a plain relay costs, so the data path does only
// what any relay must:
// - Each connection reads into one contiguous input buffer, once per pass
//   of the event loop (64 KiB at most), so a busy sender cannot starve the
//   others. A read that fills less than that has emptied the socket: the
//   edge-triggered set reports the next arrival, no second read is spent
//   on seeing EAGAIN.
// - Consecutive relayed frames of a read are contiguous in the input
//   buffer; the whole run is appended to every receiver's contiguous output
//   buffer with one memcpy, and counted there as one entry (its end and its
//   number of messages) for the queue bound.
// - After all input of a pass, each connection with output gets one send()
//   of everything it has queued. A write the socket takes only in part
//   waits for the next EPOLLOUT edge.
// - Buffers are compacted lazily and only grow; in steady traffic nothing
//   is allocated per message.
//
// usage: refrelay [PORT]      (none or 0: a port chosen by the system)
// Listens on 127.0.0.1 only and prints "LOG refrelay listening on
// 127.0.0.1:PORT" once it accepts connections. SIGINT or SIGTERM ends it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t kHeaderSize = 8;
constexpr uint32_t kMaxPayload = 16u * 1024 * 1024;  // larger headers are refused
constexpr size_t kQueueLimit = 4096;                 // messages per receiver
constexpr size_t kReadChunk = 64 * 1024;             // the most one recv takes
constexpr size_t kMinOutput = 4096;                  // first size of an output buffer
constexpr uint16_t kMaxFederates = 20;

constexpr uint32_t kJoin = 500, kJoinReply = 501;
constexpr uint32_t kResign = 504, kResignReply = 505;
constexpr uint32_t kAllocate = 506, kAllocateReply = 507;
constexpr uint32_t kLookup = 904, kLookupReply = 905;

bool isRequest(uint32_t type) {
    return type == kJoin || type == kResign || type == kAllocate || type == kLookup;
}

void put32(char* p, uint32_t v) {
    p[0] = static_cast<char>(v >> 24);
    p[1] = static_cast<char>(v >> 16);
    p[2] = static_cast<char>(v >> 8);
    p[3] = static_cast<char>(v);
}

uint32_t get32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

// A port (4 bytes) and a counted, NUL-terminated, padded host name.
std::vector<char> encodeReference(uint16_t port, const std::string& host) {
    const uint32_t n = static_cast<uint32_t>(host.size() + 1);
    std::vector<char> out(4 + 4 + ((n + 3) & ~3u), '\0');
    put32(out.data(), port);
    put32(out.data() + 4, n);
    std::memcpy(out.data() + 8, host.data(), host.size());
    return out;
}

// A buffer of bytes that are always written before they are read, so
// growing it zeroes nothing.
class Bytes {
  public:
    char* data() { return bytes_.get(); }
    const char* data() const { return bytes_.get(); }
    size_t size() const { return size_; }
    // Replaces the buffer with one of `n` bytes starting with the `keep`
    // bytes at `from` (which may lie in the old buffer).
    void reallocate(size_t n, const char* from, size_t keep) {
        std::unique_ptr<char[]> bigger(new char[n]);
        if (keep > 0) std::memcpy(bigger.get(), from, keep);
        bytes_ = std::move(bigger);
        size_ = n;
    }

  private:
    std::unique_ptr<char[]> bytes_;
    size_t size_ = 0;
};

// Whole messages appended to an output buffer together: where they end (as
// an offset in the connection's output stream) and how many they are.
struct Run {
    uint64_t end;
    size_t count;
};

// A FIFO of runs on a ring that doubles when full and never shrinks.
class RunRing {
  public:
    bool empty() const { return size_ == 0; }
    const Run& front() const { return slots_[first_]; }
    void pop() {
        first_ = (first_ + 1) & (slots_.size() - 1);
        --size_;
    }
    void push(const Run& r) {
        if (size_ == slots_.size()) grow();
        slots_[(first_ + size_) & (slots_.size() - 1)] = r;
        ++size_;
    }

  private:
    void grow() {
        std::vector<Run> bigger(std::max<size_t>(16, slots_.size() * 2));
        for (size_t i = 0; i < size_; ++i) bigger[i] = slots_[(first_ + i) & (slots_.size() - 1)];
        slots_.swap(bigger);
        first_ = 0;
    }
    std::vector<Run> slots_;  // a power of two in size
    size_t first_ = 0, size_ = 0;
};

struct Conn {
    int fd = -1;
    // Input: received bytes not yet handled are in[inStart, inEnd).
    Bytes in;
    size_t inStart = 0, inEnd = 0;
    // Output, as offsets in the stream of bytes queued for this connection:
    // out[0] is byte outBase; bytes up to outSent are written, up to outDone
    // they form whole written messages, up to outEnd they are queued.
    Bytes out;
    uint64_t outBase = 0, outDone = 0, outSent = 0, outEnd = 0;
    RunRing runs;           // what is queued in [outDone, outEnd), oldest first
    size_t headDone = 0;    // messages of runs.front() already written
    size_t queued = 0;      // messages not yet written whole
    bool readable = false;  // an edge seen and the socket not yet read empty
    bool hangup = false;    // the peer has closed: read until end of stream
    bool writable = true;   // the socket took all of the last write
    bool closing = false;   // resigned: close once the output is out
    bool dead = false;      // closed; freed at the end of the pass
    uint16_t handle = 0;
};

class Relay {
  public:
    Relay(int listener, std::vector<char> reference)
        : listener_(listener), reference_(std::move(reference)) {}

    int run();

  private:
    // A connection relays are written to, and whether it is full.
    static bool receives(const Conn& c) { return !c.dead && !c.closing; }
    static bool full(const Conn& c) { return receives(c) && c.queued >= kQueueLimit; }
    // A sender relays to everyone else, so it must wait while anyone else is full.
    bool blocked(const Conn& c) const { return fullCount_ > (full(c) ? 1u : 0u); }
    // How many more messages `sender` may relay before some receiver is full.
    size_t room(const Conn& sender) const;
    bool hasFrame(const Conn& c) const;
    bool wantsInput(const Conn& c) const {
        return receives(c) && (c.readable || hasFrame(c)) && !blocked(c);
    }
    // Applies `change` to `c`, keeping fullCount_ in step.
    template <class F>
    void update(Conn& c, F change) {
        const bool was = full(c);
        change();
        if (full(c) == was) return;
        if (was) {
            --fullCount_;
        } else {
            ++fullCount_;
        }
    }

    void acceptAll();
    bool serviceInput(Conn& c);
    bool handleFrames(Conn& c);
    void handleRequest(Conn& c, uint32_t type, const char* payload, uint32_t length);
    void relay(const Conn& sender, const char* frames, size_t bytes, size_t count);
    void append(Conn& c, const char* bytes, size_t n, size_t count);
    void answer(Conn& c, uint32_t type, const char* payload, uint32_t length);
    void flush(Conn& c);
    void retire(Conn& c);
    void closeConn(Conn& c);
    void reap();

    int listener_;
    int epoll_ = -1;
    std::vector<char> reference_;
    std::vector<std::unique_ptr<Conn>> conns_;
    std::array<Conn*, kMaxFederates + 1> owners_{};  // handle -> joined connection
    size_t fullCount_ = 0;                           // receiving connections that are full
    uint32_t counter_ = 0;
};

size_t Relay::room(const Conn& sender) const {
    size_t least = std::numeric_limits<size_t>::max();
    for (const auto& c : conns_) {
        if (c.get() == &sender || !receives(*c)) continue;
        least = std::min(least, c->queued >= kQueueLimit ? 0 : kQueueLimit - c->queued);
    }
    return least;
}

bool Relay::hasFrame(const Conn& c) const {
    const size_t have = c.inEnd - c.inStart;
    if (have < kHeaderSize) return false;
    const uint32_t length = get32(c.in.data() + c.inStart + 4);
    return length > kMaxPayload || have - kHeaderSize >= length;
}

void Relay::acceptAll() {
    for (;;) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
                std::fprintf(stderr, "ERR refrelay: accept: %s\n", std::strerror(errno));
            return;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<Conn>();
        c->fd = fd;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.ptr = c.get();
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            std::fprintf(stderr, "ERR refrelay: epoll_ctl: %s\n", std::strerror(errno));
            ::close(fd);
            continue;
        }
        conns_.push_back(std::move(c));
    }
}

// Handles the frames already buffered, then reads once if the connection
// may still be read, and handles what came. Returns false when the
// connection closed.
bool Relay::serviceInput(Conn& c) {
    if (!handleFrames(c)) return false;
    if (blocked(c) || c.closing || !c.readable) return true;
    // Room for one more read behind what is left; the unhandled tail moves
    // to the front only when the end has too little room.
    if (c.inStart == c.inEnd) c.inStart = c.inEnd = 0;
    if (c.in.size() - c.inEnd < kReadChunk) {
        if (c.inStart > 0) {
            std::memmove(c.in.data(), c.in.data() + c.inStart, c.inEnd - c.inStart);
            c.inEnd -= c.inStart;
            c.inStart = 0;
        }
        if (c.in.size() - c.inEnd < kReadChunk)
            c.in.reallocate(std::max(c.in.size() * 2, c.inEnd + kReadChunk), c.in.data(), c.inEnd);
    }
    const ssize_t r = ::recv(c.fd, c.in.data() + c.inEnd, kReadChunk, 0);
    if (r > 0) {
        c.inEnd += static_cast<size_t>(r);
        if (static_cast<size_t>(r) < kReadChunk && !c.hangup) c.readable = false;
    } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        c.readable = errno == EINTR;
        return true;
    } else {
        closeConn(c);  // end of stream or a broken connection
        return false;
    }
    return handleFrames(c);
}

// Takes whole frames out of the input in order: runs of relayed frames go
// to every receiver in one piece each, as far as the receivers have room;
// requests are answered in between. Returns false when the connection closed.
bool Relay::handleFrames(Conn& c) {
    size_t left = room(c);
    size_t pos = c.inStart, runStart = pos, runCount = 0;
    auto relayRun = [&] {
        if (runCount == 0) return;
        relay(c, c.in.data() + runStart, pos - runStart, runCount);
        left -= std::min(left, runCount);
        runCount = 0;
    };
    while (!c.closing && c.inEnd - pos >= kHeaderSize) {
        const char* head = c.in.data() + pos;
        const uint32_t type = get32(head), length = get32(head + 4);
        if (length > kMaxPayload) {
            relayRun();
            std::fprintf(stderr, "ERR refrelay: header on %d announces %u bytes, closing\n", c.fd,
                         length);
            closeConn(c);
            return false;
        }
        if (c.inEnd - pos - kHeaderSize < length) break;
        if (isRequest(type)) {
            relayRun();
            pos += kHeaderSize + length;
            runStart = pos;
            handleRequest(c, type, head + kHeaderSize, length);
            continue;
        }
        if (runCount == left) break;  // a receiver is full: wait until it drains
        ++runCount;
        pos += kHeaderSize + length;
    }
    relayRun();
    c.inStart = pos;
    return true;
}

void Relay::handleRequest(Conn& c, uint32_t type, const char* payload, uint32_t length) {
    char word[4];
    switch (type) {
        case kJoin: {
            uint16_t h = 1;
            while (h <= kMaxFederates && owners_[h] != nullptr) ++h;
            if (h > kMaxFederates) h = 0;
            if (h != 0) owners_[h] = &c;
            c.handle = h;
            put32(word, h);
            answer(c, kJoinReply, word, 4);
            return;
        }
        case kResign: {
            const uint32_t h = length >= 4 ? get32(payload) & 0xffff : 0;
            if (h >= 1 && h <= kMaxFederates) owners_[h] = nullptr;
            if (c.handle == h) c.handle = 0;
            answer(c, kResignReply, nullptr, 0);
            update(c, [&] { c.closing = true; });
            return;
        }
        case kAllocate:
            put32(word, counter_++);
            answer(c, kAllocateReply, word, 4);
            return;
        case kLookup:
            answer(c, kLookupReply, reference_.data(), static_cast<uint32_t>(reference_.size()));
            return;
    }
}

void Relay::relay(const Conn& sender, const char* frames, size_t bytes, size_t count) {
    for (auto& c : conns_) {
        if (c.get() != &sender && receives(*c)) append(*c, frames, bytes, count);
    }
}

// Queues `count` whole messages, `n` bytes, behind everything queued for `c`.
void Relay::append(Conn& c, const char* bytes, size_t n, size_t count) {
    const size_t used = static_cast<size_t>(c.outEnd - c.outBase);
    if (c.out.size() - used < n) {
        // Bytes before outDone are written whole and can go. Move the rest
        // to the front if that leaves the buffer at least half free,
        // otherwise grow it, so that moves stay rare.
        const size_t keep = static_cast<size_t>(c.outEnd - c.outDone);
        const char* from = c.out.data() + (c.outDone - c.outBase);
        if (2 * (keep + n) <= c.out.size()) {
            std::memmove(c.out.data(), from, keep);
        } else {
            c.out.reallocate(std::max({c.out.size() * 2, 2 * (keep + n), kMinOutput}), from, keep);
        }
        c.outBase = c.outDone;
    }
    std::memcpy(c.out.data() + (c.outEnd - c.outBase), bytes, n);
    c.outEnd += n;
    c.runs.push(Run{c.outEnd, count});
    update(c, [&] { c.queued += count; });
}

void Relay::answer(Conn& c, uint32_t type, const char* payload, uint32_t length) {
    char frame[kHeaderSize + 256];
    if (length > sizeof frame - kHeaderSize) std::abort();  // our own answers are small
    put32(frame, type);
    put32(frame + 4, length);
    if (length > 0) std::memcpy(frame + kHeaderSize, payload, length);
    append(c, frame, kHeaderSize + length, 1);
}

// One send of everything queued; the socket takes what it can.
void Relay::flush(Conn& c) {
    if (c.outSent < c.outEnd && c.writable) {
        ssize_t w;
        do {
            w = ::send(c.fd, c.out.data() + (c.outSent - c.outBase),
                       static_cast<size_t>(c.outEnd - c.outSent), MSG_NOSIGNAL);
        } while (w < 0 && errno == EINTR);
        if (w < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                closeConn(c);
                return;
            }
            c.writable = false;
        } else {
            c.outSent += static_cast<uint64_t>(w);
            // A write taken in part found the socket full; the kernel reports
            // the room it makes with an EPOLLOUT edge.
            if (c.outSent < c.outEnd) c.writable = false;
            retire(c);
        }
    }
    if (c.closing && c.outSent == c.outEnd) closeConn(c);
}

// Counts the messages written whole since the last call out of the queue.
void Relay::retire(Conn& c) {
    size_t finished = 0;
    while (!c.runs.empty() && c.runs.front().end <= c.outSent) {
        finished += c.runs.front().count - c.headDone;
        c.outDone = c.runs.front().end;
        c.headDone = 0;
        c.runs.pop();
    }
    // The oldest run may be written in part: count its whole messages by
    // their headers, which are still in the buffer from outDone on.
    if (!c.runs.empty()) {
        while (c.outSent - c.outDone >= kHeaderSize) {
            const char* head = c.out.data() + (c.outDone - c.outBase);
            const uint64_t end = c.outDone + kHeaderSize + get32(head + 4);
            if (end > c.outSent) break;
            c.outDone = end;
            ++c.headDone;
            ++finished;
        }
    } else {
        c.outBase = c.outDone;  // all written: the next append starts at the front
    }
    if (finished > 0) update(c, [&] { c.queued -= finished; });
}

void Relay::closeConn(Conn& c) {
    if (c.dead) return;
    update(c, [&] { c.dead = true; });
    if (c.handle != 0 && owners_[c.handle] == &c) owners_[c.handle] = nullptr;
    ::close(c.fd);  // also leaves the epoll set
}

void Relay::reap() {
    size_t keep = 0;
    for (auto& c : conns_) {
        if (!c->dead) conns_[keep++] = std::move(c);
    }
    conns_.resize(keep);
}

int Relay::run() {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event lev{};
    lev.events = EPOLLIN;
    lev.data.ptr = nullptr;
    if (epoll_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &lev) != 0) {
        std::fprintf(stderr, "ERR refrelay: epoll: %s\n", std::strerror(errno));
        return 1;
    }
    bool pending = false;  // input that can be handled without waiting
    epoll_event events[128];
    for (;;) {
        const int n = ::epoll_wait(epoll_, events, 128, pending ? 0 : -1);
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "ERR refrelay: epoll_wait: %s\n", std::strerror(errno));
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            auto* c = static_cast<Conn*>(events[i].data.ptr);
            if (c == nullptr) {
                acceptAll();
                continue;
            }
            const uint32_t e = events[i].events;
            if (e & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) c->readable = true;
            if (e & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) c->hangup = true;
            if (e & (EPOLLOUT | EPOLLHUP | EPOLLERR)) c->writable = true;
        }
        // One read per connection and pass keeps the senders fair to each
        // other; everything queued meanwhile goes out in one write each.
        for (size_t i = 0; i < conns_.size(); ++i) {
            if (wantsInput(*conns_[i])) serviceInput(*conns_[i]);
        }
        for (size_t i = 0; i < conns_.size(); ++i) {
            Conn& c = *conns_[i];
            if (!c.dead && (c.outSent < c.outEnd || c.closing)) flush(c);
        }
        reap();
        pending = false;
        for (const auto& c : conns_) pending = pending || wantsInput(*c);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && std::strspn(argv[1], "0123456789") != std::strlen(argv[1]))) {
        std::fprintf(stderr, "usage: refrelay [PORT]\n");
        return 2;
    }
    const long wanted = argc == 2 ? std::atol(argv[1]) : 0;
    if (wanted > 65535) {
        std::fprintf(stderr, "usage: refrelay [PORT]\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(wanted));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 128) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::fprintf(stderr, "ERR refrelay: cannot listen on 127.0.0.1:%ld: %s\n", wanted,
                     std::strerror(errno));
        return 1;
    }
    const uint16_t port = ntohs(addr.sin_port);

    // The same kind of reference the registry hands out for an executive:
    // the port and the computer's name, at most 49 characters.
    char host[256] = "localhost";
    if (::gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "localhost");
    host[49] = '\0';

    std::printf("LOG refrelay listening on 127.0.0.1:%u\n", port);
    std::fflush(stdout);
    Relay relay(listener, encodeReference(port, host));
    return relay.run();
}
