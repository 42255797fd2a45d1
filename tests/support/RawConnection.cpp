#include "RawConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "Coding.h"

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds leftUntil(Clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
}

// A socket listening on 127.0.0.1 at a port the system picks; `port` tells
// which.
int listenOnLoopback(int backlog, uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("fake peer cannot listen");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("fake peer cannot listen");
    }
    port = ntohs(addr.sin_port);
    return fd;
}

}  // namespace

std::vector<char> u32(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

std::vector<char> counted(const std::string& text) {
    std::vector<char> out = u32(static_cast<uint32_t>(text.size() + 1));
    out.insert(out.end(), text.begin(), text.end());
    out.push_back('\0');
    while (out.size() % 4 != 0) out.push_back('\0');
    return out;
}

std::vector<char> concat(std::initializer_list<std::vector<char>> parts) {
    std::vector<char> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<char> bytes(const std::string& text) { return {text.begin(), text.end()}; }

uint32_t u32At(const std::vector<char>& p, size_t offset) {
    if (p.size() < offset + 4) throw std::runtime_error("payload too short");
    return RTIP::loadULong(p.data() + offset);
}

uint32_t exceptionSerial(const Frame& f) { return u32At(f.payload, 0); }

std::string exceptionReason(const Frame& f) {
    const uint32_t n = u32At(f.payload, 4);
    if (n == 0 || f.payload.size() < 8 + n) throw std::runtime_error("bad reason");
    return std::string(f.payload.data() + 8, n - 1);
}

// --- RawConnection ----------------------------------------------------------------

RawConnection::RawConnection(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        close();  // the destructor does not run for a constructor that throws
        throw std::runtime_error(std::string("connect: ") + std::strerror(err));
    }
    // Split messages go out as split segments at once, without coalescing delays.
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::unique_ptr<RawConnection> RawConnection::adopt(int fd) {
    std::unique_ptr<RawConnection> conn(new RawConnection());
    conn->fd_ = fd;
    return conn;
}

RawConnection::~RawConnection() { close(); }

uint16_t localPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

int connectError(uint32_t address, uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(address);
    const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    const int error = rc == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

void RawConnection::setLingerZero() {
    linger lg{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
}

void RawConnection::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::vector<char> RawConnection::frameBytes(uint32_t type, const std::vector<char>& payload) {
    return concat({u32(type), u32(static_cast<uint32_t>(payload.size())), payload});
}

bool RawConnection::sendBytes(const std::vector<char>& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t w = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

bool RawConnection::sendFrame(uint32_t type, const std::vector<char>& payload) {
    return sendBytes(frameBytes(type, payload));
}

std::optional<Frame> RawConnection::receive(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (reader_.next() == FrameReader::Result::Frame) {
            Frame f;
            f.type = reader_.type();
            f.payload.assign(reader_.payload(), reader_.payload() + reader_.length());
            return f;
        }
        if (closed_) return std::nullopt;
        const auto left = leftUntil(deadline).count();
        pollfd pfd{fd_, POLLIN, 0};
        const int r = ::poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0);
        if (r > 0) {
            const ssize_t got = reader_.fill(fd_);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) closed_ = true;
        } else if (left <= 0) {
            return std::nullopt;
        }
    }
}

std::optional<Frame> RawConnection::receiveType(uint32_t type, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = leftUntil(deadline);
        if (left.count() <= 0) return std::nullopt;
        auto f = receive(left);
        if (!f) return std::nullopt;
        if (f->type == type) return f;
    }
}

bool RawConnection::waitClosed(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!closed_) {
        const auto left = leftUntil(deadline);
        if (left.count() <= 0) return false;
        receive(left);
    }
    return true;
}

uint16_t RawConnection::join(const std::string& name) {
    if (!sendFrame(500, counted(name))) return 0xffff;
    // Relays and notices may arrive before the answer; skip them.
    for (;;) {
        auto f = receive();
        if (!f || f->type >= 1000) return 0xffff;
        if (f->type == 501) return static_cast<uint16_t>(u32At(f->payload, 0));
    }
}

std::optional<Frame> RawConnection::request(uint32_t type, const std::vector<char>& payload) {
    if (!sendFrame(type, payload)) return std::nullopt;
    return receive();
}

// --- FakePeer ---------------------------------------------------------------------

FakePeer::FakePeer(Script script) {
    listenFd_ = listenOnLoopback(4, port_);
    thread_ = std::thread([this, script = std::move(script)] {
        while (!stop_) {
            pollfd pfd{listenFd_, POLLIN, 0};
            if (::poll(&pfd, 1, 50) <= 0) continue;
            const int c = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            auto conn = RawConnection::adopt(c);
            script(*conn, stop_);
        }
    });
}

FakePeer::FakePeer(std::function<void(RawConnection& conn)> script)
    : FakePeer([script = std::move(script)](RawConnection& conn, const std::atomic<bool>&) {
          script(conn);
      }) {}

FakePeer::~FakePeer() {
    stop_ = true;
    thread_.join();
    ::close(listenFd_);
}

std::unique_ptr<FakePeer> fakeRegistry(std::optional<Frame> reply) {
    return std::make_unique<FakePeer>(
        [reply](RawConnection& conn, const std::atomic<bool>& stopping) {
            if (!reply) {
                // Never answer, and keep the connection until the client gives up.
                while (!stopping && !conn.waitClosed(50ms)) {
                }
                return;
            }
            if (conn.receive()) conn.sendFrame(reply->type, reply->payload);
        });
}

}  // namespace testsupport
