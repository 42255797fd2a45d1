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

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t kHeaderSize = 8;
constexpr uint32_t kMaxPayload = 16u * 1024 * 1024;  // larger headers are refused
constexpr size_t kQueueLimit = 4096;                 // messages per receiver
constexpr size_t kReadChunk = 64 * 1024;             // free space offered to each recv
constexpr int kMaxIov = 64;                          // frames per gathered write
constexpr uint16_t kMaxFederates = 20;

constexpr uint32_t kJoin = 500, kJoinReply = 501;
constexpr uint32_t kResign = 504, kResignReply = 505;
constexpr uint32_t kAllocate = 506, kAllocateReply = 507;
constexpr uint32_t kLookup = 904, kLookupReply = 905;

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

// One whole frame (header and payload), shared by every queue it sits in.
using Frame = std::shared_ptr<const std::vector<char>>;

Frame makeFrame(uint32_t type, const char* payload, uint32_t length) {
    auto f = std::make_shared<std::vector<char>>(kHeaderSize + length);
    put32(f->data(), type);
    put32(f->data() + 4, length);
    if (length > 0) std::memcpy(f->data() + kHeaderSize, payload, length);
    return f;
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

struct Conn {
    int fd = -1;
    std::vector<char> in;  // received bytes in [inStart, inEnd)
    size_t inStart = 0, inEnd = 0;
    std::deque<Frame> out;  // waiting to be written, oldest first
    size_t outOffset = 0;   // bytes of out.front() already written
    bool readable = false;  // edge seen and not yet read down to EAGAIN
    bool writable = true;   // no EAGAIN since the last EPOLLOUT edge
    bool closing = false;   // resigned: close once `out` is empty
    bool dead = false;      // closed; freed at the end of the pass
    uint16_t handle = 0;
};

class Relay {
  public:
    Relay(int listener, std::vector<char> reference)
        : listener_(listener), reference_(std::move(reference)) {}

    int run();

  private:
    bool full(const Conn& c) const { return c.out.size() >= kQueueLimit; }
    // A sender relays to everyone else, so it must wait while anyone else is full.
    bool blocked(const Conn& c) const { return fullCount_ > (full(c) ? 1u : 0u); }
    bool hasFrame(const Conn& c) const;
    bool wantsInput(const Conn& c) const {
        return !c.dead && !c.closing && (c.readable || hasFrame(c)) && !blocked(c);
    }

    void acceptAll();
    bool serviceInput(Conn& c);
    bool handleFrame(Conn& c, uint32_t type, const char* payload, uint32_t length);
    void push(Conn& c, const Frame& f);
    void answer(Conn& c, uint32_t type, const char* payload, uint32_t length) {
        push(c, makeFrame(type, payload, length));
    }
    void flush(Conn& c);
    void closeConn(Conn& c);
    void reap();

    int listener_;
    int epoll_ = -1;
    std::vector<char> reference_;
    std::vector<std::unique_ptr<Conn>> conns_;
    std::array<Conn*, kMaxFederates + 1> owners_{};  // handle -> joined connection
    size_t fullCount_ = 0;                           // connections whose queue is full
    uint32_t counter_ = 0;
};

bool Relay::hasFrame(const Conn& c) const {
    const size_t have = c.inEnd - c.inStart;
    if (have < kHeaderSize) return false;
    const uint32_t length = get32(c.in.data() + c.inStart + 4);
    return length > kMaxPayload || have - kHeaderSize >= length;
}

void Relay::push(Conn& c, const Frame& f) {
    const bool was = full(c);
    c.out.push_back(f);
    if (!was && full(c)) ++fullCount_;
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

// Handles the frames already buffered, then reads once more if the
// connection may still be read. Returns false when the connection closed.
bool Relay::serviceInput(Conn& c) {
    for (int reads = 0;; ++reads) {
        while (!blocked(c) && !c.closing && hasFrame(c)) {
            const char* head = c.in.data() + c.inStart;
            const uint32_t type = get32(head), length = get32(head + 4);
            if (length > kMaxPayload) {
                std::fprintf(stderr, "ERR refrelay: header on %d announces %u bytes, closing\n",
                             c.fd, length);
                closeConn(c);
                return false;
            }
            c.inStart += kHeaderSize + length;
            if (!handleFrame(c, type, head + kHeaderSize, length)) return false;
        }
        if (reads == 1 || blocked(c) || c.closing || !c.readable) return true;
        // Keep the unread tail at the front, with room for one more chunk.
        if (c.inStart > 0) {
            std::memmove(c.in.data(), c.in.data() + c.inStart, c.inEnd - c.inStart);
            c.inEnd -= c.inStart;
            c.inStart = 0;
        }
        if (c.in.size() - c.inEnd < kReadChunk) c.in.resize(c.inEnd + kReadChunk);
        const ssize_t r = ::recv(c.fd, c.in.data() + c.inEnd, c.in.size() - c.inEnd, 0);
        if (r > 0) {
            c.inEnd += static_cast<size_t>(r);
        } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            c.readable = errno == EINTR;
        } else {
            closeConn(c);  // end of stream or a broken connection
            return false;
        }
    }
}

bool Relay::handleFrame(Conn& c, uint32_t type, const char* payload, uint32_t length) {
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
            return true;
        }
        case kResign: {
            const uint32_t h = length >= 4 ? get32(payload) & 0xffff : 0;
            if (h >= 1 && h <= kMaxFederates) owners_[h] = nullptr;
            if (c.handle == h) c.handle = 0;
            answer(c, kResignReply, nullptr, 0);
            c.closing = true;
            return true;
        }
        case kAllocate:
            put32(word, counter_++);
            answer(c, kAllocateReply, word, 4);
            return true;
        case kLookup:
            answer(c, kLookupReply, reference_.data(), static_cast<uint32_t>(reference_.size()));
            return true;
        default: {
            // One copy of the frame, shared by every receiver's queue.
            const Frame f = makeFrame(type, payload, length);
            for (auto& other : conns_) {
                if (other.get() != &c && !other->dead && !other->closing) push(*other, f);
            }
            return true;
        }
    }
}

void Relay::flush(Conn& c) {
    while (!c.out.empty() && c.writable) {
        iovec iov[kMaxIov];
        int n = 0;
        for (auto it = c.out.begin(); it != c.out.end() && n < kMaxIov; ++it, ++n) {
            const size_t skip = n == 0 ? c.outOffset : 0;
            iov[n].iov_base = const_cast<char*>((*it)->data()) + skip;
            iov[n].iov_len = (*it)->size() - skip;
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(n);
        ssize_t w = ::sendmsg(c.fd, &msg, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) c.writable = false;
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            closeConn(c);
            return;
        }
        const bool wasFull = full(c);
        auto written = static_cast<size_t>(w);
        while (written > 0) {
            const size_t left = c.out.front()->size() - c.outOffset;
            if (written < left) {
                c.outOffset += written;
                break;
            }
            written -= left;
            c.outOffset = 0;
            c.out.pop_front();
        }
        if (wasFull && !full(c)) --fullCount_;
    }
    if (c.out.empty() && c.closing) closeConn(c);
}

void Relay::closeConn(Conn& c) {
    if (c.dead) return;
    if (full(c)) --fullCount_;
    c.out.clear();
    if (c.handle != 0 && owners_[c.handle] == &c) owners_[c.handle] = nullptr;
    ::close(c.fd);  // also leaves the epoll set
    c.dead = true;
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
            if (e & (EPOLLOUT | EPOLLHUP | EPOLLERR)) c->writable = true;
        }
        // One read per connection and pass keeps the senders fair to each other;
        // everything queued meanwhile goes out in gathered writes.
        for (size_t i = 0; i < conns_.size(); ++i) {
            if (wantsInput(*conns_[i])) serviceInput(*conns_[i]);
        }
        for (size_t i = 0; i < conns_.size(); ++i) {
            Conn& c = *conns_[i];
            if (!c.dead && (!c.out.empty() || c.closing)) flush(c);
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
