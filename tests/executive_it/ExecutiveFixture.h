// A running federation for black-box tests: a fresh quorvex on a free port,
// the execution's name reserved, and a morva started for it. Tests talk to
// morva through RTIP::ExecutiveClient and through morva's console.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ExecutiveClient.h"
#include "RegistryClient.h"
#include "TestSupport.h"

namespace it {

using Client = RTIP::ExecutiveClient;
using Message = Client::Message;
using namespace std::chrono_literals;

// Bound for anything that should happen promptly; generous for a busy machine.
constexpr std::chrono::milliseconds kWait = 5s;
// How long to listen before concluding that nothing more will arrive.
constexpr std::chrono::milliseconds kQuiet = 700ms;

class ExecutiveTest : public ::testing::Test {
  protected:
    // Fails the test when a sanitizer reported from inside a server.
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

    std::string name_ = "it_execution";
    std::vector<std::string> serverEnv_;  // "NAME=value" for both servers
    uint16_t registryPort_ = 0;
    uint16_t morvaPort_ = 0;
    RTIP::Reference morvaRef_;
    std::unique_ptr<testsupport::Process> quorvex_;
    std::unique_ptr<testsupport::Process> morva_;
};

// True when a sanitizer report appears in a child's output.
bool hasSanitizerReport(const std::string& text);

// The next message; fails the test (and returns type 0) when none arrives.
Message next(Client& c, std::chrono::milliseconds wait = kWait);
// The next message, which must be of `type`.
Message expectMessage(Client& c, uint32_t type);
// True when nothing arrives within `wait` and the connection stays open.
bool quiet(Client& c, std::chrono::milliseconds wait = kQuiet);
// The exception carried by a failure answer.
RTI::Exception failureOf(const Message& m);

std::vector<char> bytes(const std::string& text);
std::vector<char> concat(const std::vector<char>& a, const std::vector<char>& b);
// The encoded federate vector with exactly `handles` set.
std::vector<char> vectorBytes(const std::vector<uint16_t>& handles);
RTI::AttributeHandleSet attributeSet(const std::vector<uint32_t>& handles);
// The local port of a client's connection: the port morva reports for it.
uint16_t localPort(const Client& c);
// The reference of federate `handle` once its host name is known: morva
// gives the numeric address until the name of a new peer is looked up.
RTIP::Reference settledReference(Client& c, uint16_t handle);

}  // namespace it
