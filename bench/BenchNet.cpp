#include "BenchNet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace bench {

Ns nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void fail(const std::string& what) { throw Failure(what); }

std::vector<char> countedString(const std::string& text) {
    const uint32_t n = static_cast<uint32_t>(text.size() + 1);
    std::vector<char> out(4 + ((n + 3) & ~3u), '\0');
    put32(out.data(), n);
    std::memcpy(out.data() + 4, text.data(), text.size());
    return out;
}

bool parseEndpoint(const std::string& text, Endpoint& out) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size()) return false;
    std::string host = text.substr(0, colon);
    if (host == "localhost") host = "127.0.0.1";
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) != 1 || (ntohl(a.s_addr) >> 24) != 127) return false;
    const std::string port = text.substr(colon + 1);
    if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5) return false;
    const unsigned long p = std::stoul(port);
    if (p == 0 || p > 65535) return false;
    out.host = host;
    out.port = static_cast<uint16_t>(p);
    return true;
}

// --- FrameBuffer ---------------------------------------------------------------

ssize_t FrameBuffer::fill(int fd) {
    if (start_ == end_) start_ = end_ = 0;
    if (buf_.size() - end_ < chunk_) {
        // Only a partial frame is left at the front: move it down, then grow
        // if one chunk still does not fit behind it.
        if (start_ > 0) {
            std::memmove(buf_.data(), buf_.data() + start_, end_ - start_);
            end_ -= start_;
            start_ = 0;
        }
        if (buf_.size() - end_ < chunk_) buf_.resize(end_ + chunk_);
    }
    const ssize_t r = ::recv(fd, buf_.data() + end_, chunk_, MSG_DONTWAIT);
    if (r > 0) end_ += static_cast<size_t>(r);
    return r;
}

bool FrameBuffer::next(View& out) {
    const size_t have = end_ - start_;
    if (have < kHeaderSize) return false;
    const char* head = buf_.data() + start_;
    const uint32_t length = get32(head + 4);
    if (length > kMaxPayload) fail("a header announces " + std::to_string(length) + " bytes");
    if (have - kHeaderSize < length) return false;
    out = View{get32(head), length, head + kHeaderSize};
    start_ += kHeaderSize + length;
    return true;
}

// --- Link ----------------------------------------------------------------------

Link::Link(Link&& o) noexcept : fd_(o.fd_), in_(std::move(o.in_)) { o.fd_ = -1; }

Link& Link::operator=(Link&& o) noexcept {
    if (this != &o) {
        close();
        fd_ = o.fd_;
        in_ = std::move(o.in_);
        o.fd_ = -1;
    }
    return *this;
}

void Link::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool Link::waitFor(short events, Ns deadline) {
    for (;;) {
        const Ns left = deadline - nowNs();
        if (left <= 0) return false;
        pollfd p{fd_, events, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left / kMs) + 1);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) fail(std::string("poll: ") + std::strerror(errno));
    }
}

void Link::open(const Endpoint& to, Ns deadline, size_t readChunk, int receiveBuffer) {
    close();
    in_ = FrameBuffer(readChunk);
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) fail(std::string("socket: ") + std::strerror(errno));
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (receiveBuffer > 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(to.port);
    inet_pton(AF_INET, to.host.c_str(), &addr.sin_addr);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) fail("connect " + to.str() + ": " + std::strerror(errno));
        if (!waitFor(POLLOUT, deadline)) fail("connect " + to.str() + ": timed out");
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) fail("connect " + to.str() + ": " + std::strerror(err));
    }
}

void Link::setBlocking(bool blocking, int sendTimeoutMs) {
    const int flags = ::fcntl(fd_, F_GETFL);
    ::fcntl(fd_, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
    timeval tv{sendTimeoutMs / 1000, (sendTimeoutMs % 1000) * 1000};
    if (!blocking) tv = timeval{0, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void Link::sendBytes(const char* data, size_t n, Ns deadline) {
    while (n > 0) {
        const ssize_t w = ::send(fd_, data, n, MSG_NOSIGNAL);
        if (w > 0) {
            data += w;
            n -= static_cast<size_t>(w);
        } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (errno != EINTR && !waitFor(POLLOUT, deadline)) fail("send: timed out");
        } else {
            fail(std::string("send: ") + std::strerror(errno));
        }
    }
}

void Link::send(uint32_t type, const void* payload, size_t n, Ns deadline) {
    std::vector<char> frame(kHeaderSize + n);
    put32(frame.data(), type);
    put32(frame.data() + 4, static_cast<uint32_t>(n));
    if (n > 0) std::memcpy(frame.data() + kHeaderSize, payload, n);
    sendBytes(frame.data(), frame.size(), deadline);
}

Message Link::receive(Ns deadline, const char* what) {
    for (;;) {
        FrameBuffer::View v{};
        if (in_.next(v)) return Message{v.type, std::vector<char>(v.payload, v.payload + v.length)};
        const ssize_t r = in_.fill(fd_);
        if (r > 0) continue;
        if (r == 0) fail(std::string(what) + ": the server closed the connection");
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            fail(std::string(what) + ": " + std::strerror(errno));
        if (!waitFor(POLLIN, deadline)) fail(std::string(what) + ": no answer in time");
    }
}

Message Link::receiveType(uint32_t type, Ns deadline, const char* what) {
    for (;;) {
        Message m = receive(deadline, what);
        if (m.type == type) return m;
        // Departures, offers and relays from others may come first.
        if (m.type != kFederateLeft && m.type != kAdoptOffer && m.type != kRelayed)
            fail(std::string(what) + ": got message " + std::to_string(m.type) + " instead of " +
                 std::to_string(type));
    }
}

bool Link::waitClosed(Ns deadline) {
    char sink[64 * 1024];
    for (;;) {
        const ssize_t r = ::recv(fd_, sink, sizeof sink, MSG_DONTWAIT);
        if (r == 0) return true;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return true;
        if (r < 0 && errno != EINTR && !waitFor(POLLIN, deadline)) return false;
    }
}

std::vector<char> request(Link& link, uint32_t type, const std::vector<char>& payload,
                          uint32_t answerType, Ns deadline, const char* what) {
    link.send(type, payload.data(), payload.size(), deadline);
    return link.receiveType(answerType, deadline, what).payload;
}

}  // namespace bench
