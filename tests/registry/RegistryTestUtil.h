// Helpers for the tests that drive the real quorvex over 127.0.0.1: start a
// registry on a free port; raw connections (RawConnection.h) send it any
// bytes (half frames, garbage, oversize headers) and read framed replies with
// time limits.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "RTI.h"
#include "RawConnection.h"
#include "RegistryClient.h"
#include "TestSupport.h"

namespace regtest {

using namespace std::chrono_literals;

// A running quorvex. The destructor kills it if a test left it running.
class Server {
  public:
    // `env`: extra "NAME=value" entries for the program.
    explicit Server(bool stdinDevNull = false, const std::vector<std::string>& env = {});
    // On `port` (a restart on the port of an earlier registry).
    Server(uint16_t port, const std::vector<std::string>& env);
    uint16_t port() const { return port_; }
    testsupport::Process& proc() { return *proc_; }
    std::unique_ptr<RegistryClient> client();
    // Types "quit"; expects "LOG Shutting down..." and exit status 0.
    void quit();

  private:
    Server(uint16_t port, const std::vector<std::string>& env, bool stdinDevNull);
    uint16_t port_ = 0;
    std::unique_ptr<testsupport::Process> proc_;
};

// The shared raw connection, for requests no client would send.
using testsupport::concat;
using testsupport::counted;
using testsupport::Frame;
using testsupport::RawConnection;
using testsupport::u32;

std::vector<char> encodeNameAndRef(const std::string& name, const RTIP::Reference& ref);
// Decodes the exception carried by a failure answer.
RTI::Exception decodeFailure(const Frame& frame);

}  // namespace regtest
