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
#include <regex>
#include <stdexcept>

#include "RTIexceptions.h"

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

std::vector<char> bytes(const std::string& text) { return {text.begin(), text.end()}; }

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

std::unique_ptr<RawFederate> RawFederate::adopt(int fd) {
    std::unique_ptr<RawFederate> conn(new RawFederate());
    conn->fd_ = fd;
    return conn;
}

RawFederate::~RawFederate() { close(); }

uint16_t localPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

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

RTIP::Reference Registry::lookup(const std::string& name) {
    RegistryClient client("127.0.0.1", port_);
    return client.lookup(name);
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

bool Registry::waitForgotten(const std::string& name) {
    const auto deadline = Clock::now() + kWait;
    do {
        RegistryClient client("127.0.0.1", port_);
        try {
            client.lookup(name);
        } catch (const RTI::FederationExecutionDoesNotExist& e) {
            EXPECT_EQ(e.serial(), 12104u);
            return true;
        }
        std::this_thread::sleep_for(50ms);
    } while (Clock::now() < deadline);
    return false;
}

FakePeer::FakePeer(Script script) {
    listenFd_ = testsupport::listenOnLoopback(4, port_, "fake peer");
    thread_ = std::thread([this, script = std::move(script)] {
        while (!stop_) {
            pollfd pfd{listenFd_, POLLIN, 0};
            if (::poll(&pfd, 1, 50) <= 0) continue;
            const int c = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            auto conn = RawFederate::adopt(c);
            script(*conn, stop_);
        }
    });
}

FakePeer::~FakePeer() {
    stop_ = true;
    thread_.join();
    ::close(listenFd_);
}

std::unique_ptr<FakePeer> fakeRegistry(std::optional<Frame> reply) {
    return std::make_unique<FakePeer>(
        [reply](RawFederate& conn, const std::atomic<bool>& stopping) {
            if (!reply) {
                // Never answer, and keep the connection until morva gives up.
                while (!stopping && !conn.waitClosed(50ms)) {
                }
                return;
            }
            if (conn.receive()) conn.sendFrame(reply->type, reply->payload);
        });
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
    reference = registry.lookup(name);
    port = reference.port();
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
    // Reports written while a server kept running (or by one a test ended).
    for (testsupport::Process* p : {&registry.process(), morva.get()}) {
        if (p != nullptr && hasSanitizerReport(p->stderrText())) {
            ADD_FAILURE() << p->stderrText().substr(0, 4000);
        }
    }
}

std::string Execution::console(const std::string& line, const std::string& expect) {
    morva->write(line + "\n");
    return morva->waitStdout(expect);
}

bool hasSanitizerReport(const std::string& text) {
    return text.find("Sanitizer") != std::string::npos ||
           text.find("runtime error:") != std::string::npos;
}

// --- The library's executive client as the federate -----------------------------

void ExecutiveTest::startServers(int idleTimeoutSeconds) {
    try {
        execution_ = std::make_unique<Execution>(std::to_string(idleTimeoutSeconds), name_,
                                                 serverEnv_, serverEnv_);
    } catch (const std::exception& e) {
        FAIL() << e.what();
    }
    registryPort_ = execution_->registry.port();
    morvaRef_ = execution_->reference;
    morvaPort_ = execution_->port;
    quorvex_ = &execution_->registry.process();
    morva_ = execution_->morva.get();
    ASSERT_NE(morvaPort_, 0);
}

void ExecutiveTest::TearDown() { execution_.reset(); }

std::unique_ptr<Client> ExecutiveTest::connect() {
    auto c = std::make_unique<Client>();
    c->setTimeout(kWait);
    c->connect("127.0.0.1", morvaPort_);
    return c;
}

std::unique_ptr<Client> ExecutiveTest::join(const std::string& federate, uint16_t* handle) {
    auto c = connect();
    uint16_t h = c->join(federate);
    if (handle) *handle = h;
    return c;
}

std::unique_ptr<RegistryClient> ExecutiveTest::registry() {
    return std::make_unique<RegistryClient>("127.0.0.1", registryPort_);
}

std::string ExecutiveTest::console(const std::string& line, const std::string& needle) {
    return execution_->console(line, needle);
}

int ExecutiveTest::orphanCount() {
    std::string line = console("orphan", "orphaned objects");
    std::smatch m;
    static const std::regex re("^LOG Currently have ([0-9]+) orphaned objects$");
    if (!std::regex_match(line, m, re)) {
        ADD_FAILURE() << "unexpected orphan line: '" << line << "'";
        return -1;
    }
    return std::stoi(m[1]);
}

Message next(Client& c, std::chrono::milliseconds wait) {
    auto m = c.receive(wait);
    if (!m) {
        ADD_FAILURE() << (c.peerClosed() ? "connection closed" : "no message") << " within "
                      << wait.count() << " ms";
        return Message{};
    }
    return *m;
}

Message expectMessage(Client& c, uint32_t type) {
    Message m = next(c);
    EXPECT_EQ(m.type, type);
    return m;
}

bool quiet(Client& c, std::chrono::milliseconds wait) {
    auto m = c.receive(wait);
    if (m) {
        ADD_FAILURE() << "unexpected message " << m->type << " length " << m->payload.size();
        return false;
    }
    return !c.peerClosed();
}

std::vector<char> vectorBytes(const std::vector<uint16_t>& handles) {
    RTIP::FederateVector v;
    for (auto h : handles) v.set(h, true);
    std::vector<char> out(RTIP::FederateVector::encodedLength());
    v.encode(out.data());
    return out;
}

RTI::AttributeHandleSet attributeSet(const std::vector<uint32_t>& handles) {
    RTI::AttributeHandleSet set;
    for (auto h : handles) set.add(h);
    return set;
}

RTIP::Reference settledReference(Client& c, uint16_t handle) {
    RTIP::Reference ref = c.federateReference(handle);
    for (int i = 0; i < 250 && std::string(ref.host()) == "127.0.0.1"; ++i) {
        std::this_thread::sleep_for(20ms);
        ref = c.federateReference(handle);
    }
    return ref;
}

}  // namespace morvatest
