#include "RegistryTestUtil.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace regtest {

Server::Server(bool stdinDevNull, const std::vector<std::string>& env) {
    port_ = testsupport::freePort();
    testsupport::Process::Options opt;
    opt.stdinDevNull = stdinDevNull;
    opt.env = env;
    proc_ = std::make_unique<testsupport::Process>(
        testsupport::binPath("quorvex"), std::vector<std::string>{std::to_string(port_)}, opt);
    const std::string line = proc_->waitStdout("LOG Acceptor open on ", 10s);
    if (line.empty()) {
        throw std::runtime_error("quorvex did not start on port " + std::to_string(port_) +
                                 "; output: " + proc_->stdoutText());
    }
}

std::unique_ptr<RegistryClient> Server::client() {
    return std::make_unique<RegistryClient>("127.0.0.1", port_);
}

void Server::quit() {
    ASSERT_TRUE(proc_->write("quit\n"));
    EXPECT_NE(proc_->waitStdout("LOG Shutting down...", 5s), "");
    EXPECT_EQ(proc_->wait(5s), 0);
}

RawConn::RawConn(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        ::close(fd_);
        fd_ = -1;
        throw std::runtime_error(std::string("connect failed: ") + std::strerror(err));
    }
}

RawConn::~RawConn() { close(); }

void RawConn::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void RawConn::setLingerZero() {
    linger lg{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
}

void RawConn::sendBytes(const char* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t w = ::send(fd_, data + done, n - done, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) throw std::runtime_error(std::string("send failed: ") + std::strerror(errno));
        done += static_cast<size_t>(w);
    }
}

void RawConn::sendBytes(const std::vector<char>& bytes) { sendBytes(bytes.data(), bytes.size()); }

void RawConn::sendFrame(uint32_t type, const std::vector<char>& payload) {
    std::vector<char> bytes = encodeHeader(type, static_cast<uint32_t>(payload.size()));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    sendBytes(bytes);
}

namespace {

uint32_t loadULong(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | uint32_t{u[3]};
}

// One recv after waiting up to `ms` for input: >0 bytes, 0 end of stream,
// -1 nothing in time, -2 error.
ssize_t recvSome(int fd, std::vector<char>& into, int ms) {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, ms);
    if (r == 0) return -1;
    if (r < 0) return errno == EINTR ? -1 : -2;
    char buf[65536];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) into.insert(into.end(), buf, buf + n);
    return n < 0 ? -2 : n;
}

int remainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

bool RawConn::readFrame(Frame& frame, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (buffered_.size() >= 8) {
            const uint32_t length = loadULong(buffered_.data() + 4);
            if (buffered_.size() >= 8 + static_cast<size_t>(length)) {
                frame.type = loadULong(buffered_.data());
                frame.payload.assign(buffered_.begin() + 8, buffered_.begin() + 8 + length);
                buffered_.erase(buffered_.begin(), buffered_.begin() + 8 + length);
                return true;
            }
        }
        const int ms = remainingMs(deadline);
        if (ms == 0) return false;
        const ssize_t n = recvSome(fd_, buffered_, ms);
        if (n == 0 || n == -2) return false;  // the registry closed the connection
    }
}

bool RawConn::closedWithin(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<char> ignored;
    for (;;) {
        const int ms = remainingMs(deadline);
        if (ms == 0) return false;
        const ssize_t n = recvSome(fd_, ignored, ms);
        if (n == 0 || n == -2) return true;
        ignored.clear();
    }
}

std::vector<char> encodeHeader(uint32_t type, uint32_t length) {
    RTIP::EncodeBuffer out;
    out.putULong(type);
    out.putULong(length);
    return out.bytes();
}

std::vector<char> encodeName(const std::string& name) {
    RTIP::EncodeBuffer out;
    out.putString(name);
    return out.bytes();
}

std::vector<char> encodeNameAndRef(const std::string& name, const RTIP::Reference& ref) {
    RTIP::EncodeBuffer out;
    out.putString(name);
    ref.encode(out);
    return out.bytes();
}

RTI::Exception decodeFailure(const Frame& frame) {
    return RTItransportationManager::decodeException(frame.payload.data(), frame.payload.size());
}

}  // namespace regtest
