// Drives the real programs for the executive's tests: a registry (real
// quorvex, or a fake peer that answers as told), a morva registered with it,
// and two kinds of federate: raw connections that send and receive framed
// messages byte by byte, so tests can also send what no well-behaved library
// would (split, stalled, oversized or malformed messages), and the library's
// own executive client, for tests that read better in its terms.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ExecutiveClient.h"
#include "FrameReader.h"
#include "RegistryClient.h"
#include "TestSupport.h"

namespace morvatest {

using namespace std::chrono_literals;

// Bound for anything that should happen promptly; generous for a busy machine.
constexpr std::chrono::milliseconds kWait = 5s;
// How long to listen before concluding that nothing more will arrive.
constexpr std::chrono::milliseconds kQuiet = 700ms;

struct Frame {
    uint32_t type = 0;
    std::vector<char> payload;
};

// Payload helpers (wire format: 4-byte big-endian integers, counted strings).
std::vector<char> u32(uint32_t v);
std::vector<char> counted(const std::string& text);
std::vector<char> concat(std::initializer_list<std::vector<char>> parts);
std::vector<char> bytes(const std::string& text);
uint32_t u32At(const std::vector<char>& payload, size_t offset);
// Decodes "serial" and "reason" of a failure answer.
uint32_t exceptionSerial(const Frame& f);
std::string exceptionReason(const Frame& f);

// One TCP connection to morva, used like a federate's library; also the
// far end of a fake peer's accepted connection.
class RawFederate {
  public:
    explicit RawFederate(uint16_t port);
    // Takes over an already connected socket.
    static std::unique_ptr<RawFederate> adopt(int fd);
    ~RawFederate();
    RawFederate(const RawFederate&) = delete;
    RawFederate& operator=(const RawFederate&) = delete;

    bool sendFrame(uint32_t type, const std::vector<char>& payload = {});
    bool sendBytes(const std::vector<char>& bytes);
    static std::vector<char> frameBytes(uint32_t type, const std::vector<char>& payload);

    // The next frame within `timeout`; nothing on timeout or end of stream.
    std::optional<Frame> receive(std::chrono::milliseconds timeout = kWait);
    // The next frame of `type`, skipping others; nothing on timeout.
    std::optional<Frame> receiveType(uint32_t type, std::chrono::milliseconds timeout = kWait);
    // Waits until morva closes the connection (other frames are dropped).
    bool waitClosed(std::chrono::milliseconds timeout = kWait);

    // 500 -> 501: the handle (0 when refused); 0xffff on no answer.
    uint16_t join(const std::string& name);
    // A request answered by one frame.
    std::optional<Frame> request(uint32_t type, const std::vector<char>& payload = {});

    bool closedByPeer() const { return closed_; }
    int fd() const { return fd_; }
    void close();

  private:
    RawFederate() = default;
    int fd_ = -1;
    bool closed_ = false;
    FrameReader reader_;
};

// The local port of a connected socket: the port morva reports for it.
uint16_t localPort(int fd);

// A quorvex on a free loopback port; `env`: extra "NAME=value" entries.
class Registry {
  public:
    explicit Registry(const std::vector<std::string>& env = {});
    uint16_t port() const { return port_; }
    void reserve(const std::string& name);
    // The registered executive's reference (throws when not registered).
    RTIP::Reference lookup(const std::string& name);
    bool isRegistered(const std::string& name);
    // Waits until the registry no longer knows `name`: an obituary has no
    // answer, so its effect is all there is to wait for.
    bool waitForgotten(const std::string& name);
    testsupport::Process& process() { return *process_; }

  private:
    uint16_t port_;
    std::unique_ptr<testsupport::Process> process_;
};

// A loopback listener that plays a server by script: each accepted
// connection, one after another, is handed to `script` on the peer's own
// thread and closed when the script returns. `stopping` turns true when the
// peer is being destroyed, so a script that waits can give up.
class FakePeer {
  public:
    using Script = std::function<void(RawFederate& conn, const std::atomic<bool>& stopping)>;
    explicit FakePeer(Script script);
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

std::unique_ptr<testsupport::Process> startMorva(const std::string& name, uint16_t registryPort,
                                                 const std::string& timeoutSec = "1",
                                                 bool stdinDevNull = false,
                                                 const std::vector<std::string>& env = {});

// A registry with one registered executive serving the execution `name`.
// `morvaEnv` and `registryEnv`: extra "NAME=value" entries for each program.
// The destructor ends a still running morva with SIGINT and fails the test
// unless it exits with status 0, or when either server reported a sanitizer
// finding.
class Execution {
  public:
    // Throws std::runtime_error when a server does not come up.
    explicit Execution(const std::string& timeoutSec = "1", const std::string& name = "fed",
                       const std::vector<std::string>& morvaEnv = {},
                       const std::vector<std::string>& registryEnv = {});
    ~Execution();
    Registry registry;
    std::string name;
    std::unique_ptr<testsupport::Process> morva;
    RTIP::Reference reference;  // as the registry gives it out
    uint16_t port = 0;

    std::unique_ptr<RawFederate> connect() { return std::make_unique<RawFederate>(port); }
    // Types a console line and waits for a stdout line containing `expect`.
    std::string console(const std::string& line, const std::string& expect);
};

// True when a sanitizer report appears in a child's output.
bool hasSanitizerReport(const std::string& text);

// --- The library's executive client as the federate -----------------------------

using Client = RTIP::ExecutiveClient;
using Message = Client::Message;

// A running execution for tests written in the executive client's terms.
class ExecutiveTest : public ::testing::Test {
  protected:
    // Shuts the servers down in order (see ~Execution).
    void TearDown() override;

    // Starts quorvex and morva (idle timeout in seconds). Use with
    // ASSERT_NO_FATAL_FAILURE.
    void startServers(int idleTimeoutSeconds = 30);

    std::unique_ptr<Client> connect();
    // Connects and joins; `handle` receives the handle the executive gave.
    std::unique_ptr<Client> join(const std::string& federate, uint16_t* handle = nullptr);
    std::unique_ptr<RegistryClient> registry();

    // Types one console line and waits for a stdout line containing `needle`.
    std::string console(const std::string& line, const std::string& needle);
    // The number of stored orphaned objects, as the console reports it.
    int orphanCount();

    std::string name_ = "fed";
    std::vector<std::string> serverEnv_;  // "NAME=value" for both servers
    std::unique_ptr<Execution> execution_;
    // Views into execution_, set by startServers.
    uint16_t registryPort_ = 0;
    uint16_t morvaPort_ = 0;
    RTIP::Reference morvaRef_;
    testsupport::Process* quorvex_ = nullptr;
    testsupport::Process* morva_ = nullptr;
};

// The next message; fails the test (and returns type 0) when none arrives.
Message next(Client& c, std::chrono::milliseconds wait = kWait);
// The next message, which must be of `type`.
Message expectMessage(Client& c, uint32_t type);
// True when nothing arrives within `wait` and the connection stays open.
bool quiet(Client& c, std::chrono::milliseconds wait = kQuiet);

// The federate vector with exactly `handles` set, as the library encodes it.
std::vector<char> vectorBytes(const std::vector<uint16_t>& handles);
RTI::AttributeHandleSet attributeSet(const std::vector<uint32_t>& handles);
// The reference of federate `handle` once its host name is known: morva
// gives the numeric address until the name of a new peer is looked up.
RTIP::Reference settledReference(Client& c, uint16_t handle);

}  // namespace morvatest
