#include "MorvaHarness.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "RTIexceptions.h"
#include "RegistryClient.h"

namespace morvatest {

using Clock = std::chrono::steady_clock;

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

uint32_t u32At(const std::vector<char>& p, size_t offset) {
    if (p.size() < offset + 4) throw std::runtime_error("payload too short");
    const auto* b = reinterpret_cast<const unsigned char*>(p.data() + offset);
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

uint32_t exceptionSerial(const Frame& f) { return u32At(f.payload, 0); }

std::string exceptionReason(const Frame& f) {
    const uint32_t n = u32At(f.payload, 4);
    if (n == 0 || f.payload.size() < 8 + n) throw std::runtime_error("bad reason");
    return std::string(f.payload.data() + 8, n - 1);
}

// --- RawFederate -----------------------------------------------------------------

RawFederate::RawFederate(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    }
    // Split messages go out as split segments at once, without coalescing delays.
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

RawFederate::~RawFederate() { close(); }

void RawFederate::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::vector<char> RawFederate::frameBytes(uint32_t type, const std::vector<char>& payload) {
    return concat({u32(type), u32(static_cast<uint32_t>(payload.size())), payload});
}

bool RawFederate::sendBytes(const std::vector<char>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

bool RawFederate::sendFrame(uint32_t type, const std::vector<char>& payload) {
    return sendBytes(frameBytes(type, payload));
}

std::optional<Frame> RawFederate::receive(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (reader_.next() == FrameReader::Result::Frame) {
            Frame f;
            f.type = reader_.type();
            f.payload.assign(reader_.payload(), reader_.payload() + reader_.length());
            return f;
        }
        if (closed_) return std::nullopt;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
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

std::optional<Frame> RawFederate::receiveType(uint32_t type, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return std::nullopt;
        auto f = receive(left);
        if (!f) return std::nullopt;
        if (f->type == type) return f;
    }
}

bool RawFederate::waitClosed(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!closed_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        receive(left);
    }
    return true;
}

uint16_t RawFederate::join(const std::string& name) {
    if (!sendFrame(500, counted(name))) return 0xffff;
    // Relays and notices may arrive before the answer; skip them.
    for (;;) {
        auto f = receive();
        if (!f || f->type >= 1000) return 0xffff;
        if (f->type == 501) return static_cast<uint16_t>(u32At(f->payload, 0));
    }
}

std::optional<Frame> RawFederate::request(uint32_t type, const std::vector<char>& payload) {
    if (!sendFrame(type, payload)) return std::nullopt;
    return receive();
}

// --- Registries -------------------------------------------------------------------

Registry::Registry(const std::vector<std::string>& env) : port_(testsupport::freePort()) {
    testsupport::Process::Options opt;
    opt.env = env;
    process_ = std::make_unique<testsupport::Process>(
        testsupport::binPath("quorvex"), std::vector<std::string>{std::to_string(port_)}, opt);
    if (!testsupport::waitForPort(port_)) throw std::runtime_error("quorvex did not start");
}

void Registry::reserve(const std::string& name) {
    RegistryClient client("127.0.0.1", port_);
    client.reserve(name);
}

uint16_t Registry::lookupPort(const std::string& name) {
    RegistryClient client("127.0.0.1", port_);
    return client.lookup(name).port();
}

bool Registry::isRegistered(const std::string& name) {
    RegistryClient client("127.0.0.1", port_);
    try {
        client.lookup(name);
        return true;
    } catch (const RTI::Exception&) {
        return false;
    }
}

FakeRegistry::FakeRegistry(std::optional<Frame> reply) : reply_(std::move(reply)) {
    listenFd_ = testsupport::listenOnLoopback(4, port_, "fake registry");
    thread_ = std::thread([this] {
        std::vector<int> clients;
        while (!stop_) {
            pollfd pfd{listenFd_, POLLIN, 0};
            if (::poll(&pfd, 1, 50) <= 0) continue;
            const int c = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            clients.push_back(c);
            if (!reply_) continue;  // accept, read nothing, never answer
            // Read one request (header and payload), then answer.
            FrameReader in;
            const auto deadline = Clock::now() + 5s;
            while (Clock::now() < deadline && in.next() != FrameReader::Result::Frame) {
                pollfd cp{c, POLLIN, 0};
                if (::poll(&cp, 1, 50) > 0 && in.fill(c) <= 0) break;
            }
            const auto bytes = RawFederate::frameBytes(reply_->type, reply_->payload);
            (void)!::send(c, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        }
        for (int c : clients) ::close(c);
    });
}

FakeRegistry::~FakeRegistry() {
    stop_ = true;
    thread_.join();
    ::close(listenFd_);
}

std::unique_ptr<testsupport::Process> startMorva(const std::string& name, uint16_t registryPort,
                                                 const std::string& timeoutSec, bool stdinDevNull,
                                                 const std::vector<std::string>& env) {
    testsupport::Process::Options opt;
    opt.stdinDevNull = stdinDevNull;
    opt.env = env;
    return std::make_unique<testsupport::Process>(
        testsupport::binPath("morva"),
        std::vector<std::string>{name, "127.0.0.1", std::to_string(registryPort), timeoutSec}, opt);
}

Execution::Execution(const std::string& timeoutSec, const std::string& executionName,
                     const std::vector<std::string>& morvaEnv,
                     const std::vector<std::string>& registryEnv)
    : registry(registryEnv), name(executionName) {
    registry.reserve(name);
    morva = startMorva(name, registry.port(), timeoutSec, false, morvaEnv);
    if (morva->waitStdout("LOG Morva started", 10s).empty()) {
        throw std::runtime_error("morva did not start: " + morva->stderrText());
    }
    port = registry.lookupPort(name);
}

Execution::~Execution() {
    if (morva && morva->running()) {
        // Every test ends with an orderly shutdown; under the sanitizer
        // builds a report (leak, race) turns into a non-zero status.
        morva->signal(SIGINT);
        const int status = morva->wait(20s);
        if (status != 0) {
            ADD_FAILURE() << "morva ended with status " << status << "\n"
                          << morva->stderrText().substr(0, 4000);
        }
    }
}

std::string Execution::console(const std::string& line, const std::string& expect) {
    morva->write(line + "\n");
    return morva->waitStdout(expect);
}

}  // namespace morvatest
