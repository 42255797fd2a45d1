// Drives the real programs for the executive's tests: a registry (real
// quorvex, or a fake peer that answers as told), a morva registered with it,
// and two kinds of federate: raw connections (RawConnection.h), for what no
// well-behaved library would send, and the library's own executive client,
// for tests that read better in its terms.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ExecutiveClient.h"
#include "RawConnection.h"
#include "RegistryClient.h"
#include "TestSupport.h"

namespace morvatest {

using namespace std::chrono_literals;

using testsupport::kWait;
// How long to listen before concluding that nothing more will arrive.
constexpr std::chrono::milliseconds kQuiet = 700ms;

// The shared raw connection and fake peer, in this harness's terms.
using testsupport::bytes;
using testsupport::concat;
using testsupport::counted;
using testsupport::exceptionReason;
using testsupport::exceptionSerial;
using testsupport::FakePeer;
using testsupport::fakeRegistry;
using testsupport::Frame;
using testsupport::localPort;
using testsupport::RawConnection;
using testsupport::u32;
using testsupport::u32At;

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

    std::unique_ptr<RawConnection> connect() { return std::make_unique<RawConnection>(port); }
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
