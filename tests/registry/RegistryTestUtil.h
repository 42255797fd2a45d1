// Helpers for the tests that drive the real quorvex over 127.0.0.1: start a
// registry on a free port, open raw connections that can send any bytes
// (half frames, garbage, oversize headers) and read framed replies with time
// limits.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "RTI.h"
#include "RegistryClient.h"
#include "TestSupport.h"

namespace regtest {

using namespace std::chrono_literals;

// A running quorvex. The destructor kills it if a test left it running.
class Server {
  public:
    // `env`: extra "NAME=value" entries for the program.
    explicit Server(bool stdinDevNull = false, const std::vector<std::string>& env = {});
    uint16_t port() const { return port_; }
    testsupport::Process& proc() { return *proc_; }
    std::unique_ptr<RegistryClient> client();
    // Types "quit"; expects "LOG Shutting down..." and exit status 0.
    void quit();

  private:
    uint16_t port_ = 0;
    std::unique_ptr<testsupport::Process> proc_;
};

struct Frame {
    uint32_t type = 0;
    std::vector<char> payload;
};

// A plain blocking socket to the registry, for requests no client would send.
class RawConn {
  public:
    explicit RawConn(uint16_t port);
    ~RawConn();
    RawConn(const RawConn&) = delete;
    RawConn& operator=(const RawConn&) = delete;

    int fd() const { return fd_; }
    void sendBytes(const std::vector<char>& bytes);
    void sendBytes(const char* data, size_t n);
    void sendFrame(uint32_t type, const std::vector<char>& payload = {});
    // Next frame within `timeout`; false on timeout or a closed connection.
    bool readFrame(Frame& frame, std::chrono::milliseconds timeout = 5s);
    // True when the registry closes the connection within `timeout`
    // (bytes still arriving before the close are skipped).
    bool closedWithin(std::chrono::milliseconds timeout);
    // Closing then sends a reset instead of an orderly end.
    void setLingerZero();
    void close();

  private:
    int fd_ = -1;
    std::vector<char> buffered_;
};

std::vector<char> encodeHeader(uint32_t type, uint32_t length);
std::vector<char> encodeName(const std::string& name);
std::vector<char> encodeNameAndRef(const std::string& name, const RTIP::Reference& ref);
// Decodes the exception carried by a failure answer.
RTI::Exception decodeFailure(const Frame& frame);

}  // namespace regtest
