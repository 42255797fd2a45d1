#include "Connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace rticlient {

namespace {

int millisecondsUntil(Connection::Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Connection::Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 24LL * 3600 * 1000));
}

// Waits for `events` on `fd`: 1 ready, 0 deadline passed, -1 failed (errno).
int waitFor(int fd, short events, Connection::Clock::time_point deadline) {
    for (;;) {
        pollfd pfd{fd, events, 0};
        const int ready = ::poll(&pfd, 1, millisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR) continue;
        return ready < 0 ? -1 : (ready > 0 ? 1 : 0);
    }
}

uint32_t loadULong(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

std::unique_ptr<Connection> Connection::open(const std::string& host, uint16_t port,
                                             std::chrono::milliseconds timeout,
                                             ConnectFailure& failure) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        failure.cause = ConnectError::Cause::Unresolvable;
        failure.why = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
        return nullptr;
    }
    sockaddr_in addr = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    ::freeaddrinfo(found);
    addr.sin_port = htons(port);

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        failure.error = errno;
        return nullptr;
    }
    std::unique_ptr<Connection> conn(new Connection(fd));
    const auto deadline = Clock::now() + timeout;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        if (err == EINPROGRESS) {
            const int ready = waitFor(fd, POLLOUT, deadline);
            socklen_t len = sizeof err;
            if (ready == 0) {
                err = ETIMEDOUT;
            } else if (ready < 0) {
                err = errno;
            } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
                err = errno;
            }
        }
        if (err != 0) {
            failure.error = err;
            failure.cause = err == ECONNREFUSED ? ConnectError::Cause::Refused
                            : err == ETIMEDOUT  ? ConnectError::Cause::TimedOut
                                                : ConnectError::Cause::Other;
            return nullptr;
        }
    }
    return conn;
}

Connection::~Connection() { ::close(fd_); }

size_t Connection::send(uint32_t type, const void* data, size_t size, Clock::time_point deadline) {
    uint8_t header[kHeaderSize];
    const uint32_t length = static_cast<uint32_t>(size);
    for (int i = 0; i < 4; ++i) {
        header[i] = static_cast<uint8_t>(type >> (24 - 8 * i));
        header[4 + i] = static_cast<uint8_t>(length >> (24 - 8 * i));
    }
    const size_t total = kHeaderSize + size;
    size_t done = 0;
    while (done < total) {
        iovec parts[2];
        int n = 0;
        if (done < kHeaderSize) {
            parts[n++] = {header + done, kHeaderSize - done};
            if (size) parts[n++] = {const_cast<void*>(data), size};
        } else {
            parts[n++] = {static_cast<uint8_t*>(const_cast<void*>(data)) + (done - kHeaderSize),
                          total - done};
        }
        msghdr mh{};
        mh.msg_iov = parts;
        mh.msg_iovlen = static_cast<size_t>(n);
        const ssize_t sent = ::sendmsg(fd_, &mh, MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int ready = waitFor(fd_, POLLOUT, deadline);
            if (ready > 0) continue;
            error_ = ready == 0 ? ETIMEDOUT : errno;
            return done;
        }
        error_ = sent < 0 ? errno : EPIPE;
        return done;
    }
    return done;
}

bool Connection::takeFrame(Message& out, bool& tooLarge) {
    const size_t have = buffer_.size() - start_;
    if (have < kHeaderSize) return false;
    const uint8_t* p = buffer_.data() + start_;
    const uint32_t length = loadULong(p + 4);
    if (length > kMaxPayload) {
        announced_ = length;
        tooLarge = true;
        return false;
    }
    if (have < kHeaderSize + length) return false;
    out.type = loadULong(p);
    out.payload.assign(p + kHeaderSize, p + kHeaderSize + length);
    start_ += kHeaderSize + length;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return true;
}

Connection::Read Connection::read(Message& out, Clock::time_point deadline) {
    for (;;) {
        bool tooLarge = false;
        if (takeFrame(out, tooLarge)) return Read::Frame;
        if (tooLarge) return Read::TooLarge;
        if (ended_) return Read::Closed;
        const int ready = waitFor(fd_, POLLIN, deadline);
        if (ready < 0) {
            error_ = errno;
            return Read::WaitFailed;
        }
        if (ready == 0) return Read::Timeout;
        // Read no further than the message in hand needs (at least a
        // chunk), so a peer cannot make the buffer grow past one message.
        if (start_ > 0) {
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(start_));
            start_ = 0;
        }
        size_t want = 64 * 1024;
        if (buffer_.size() >= kHeaderSize) {
            const size_t whole = kHeaderSize + loadULong(buffer_.data() + 4);
            want = std::max(want, whole - buffer_.size());
        }
        const size_t old = buffer_.size();
        buffer_.resize(old + want);
        const ssize_t n = ::recv(fd_, buffer_.data() + old, want, 0);
        buffer_.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
        if (n == 0) {
            ended_ = true;
            continue;  // whole messages still in the buffer come first
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            error_ = errno;
            ended_ = true;
            return Read::Broken;
        }
    }
}

}  // namespace rticlient
