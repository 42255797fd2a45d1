// Drives the real programs for the executive's integration tests: a
// registry (real quorvex, or a fake one that answers as told), a morva
// registered with it, and raw federate connections that send and receive
// framed messages byte by byte, so tests can also send what no well-behaved
// library would (split, stalled, oversized or malformed messages).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FrameReader.h"
#include "TestSupport.h"

namespace morvatest {

using namespace std::chrono_literals;

struct Frame {
    uint32_t type = 0;
    std::vector<char> payload;
};

// Payload helpers (wire format: 4-byte big-endian integers, counted strings).
std::vector<char> u32(uint32_t v);
std::vector<char> counted(const std::string& text);
std::vector<char> concat(std::initializer_list<std::vector<char>> parts);
uint32_t u32At(const std::vector<char>& payload, size_t offset);
// Decodes "serial" and "reason" of a failure answer.
uint32_t exceptionSerial(const Frame& f);
std::string exceptionReason(const Frame& f);

// One TCP connection to morva, used like a federate's library.
class RawFederate {
  public:
    explicit RawFederate(uint16_t port);
    ~RawFederate();
    RawFederate(const RawFederate&) = delete;
    RawFederate& operator=(const RawFederate&) = delete;

    bool sendFrame(uint32_t type, const std::vector<char>& payload = {});
    bool sendBytes(const std::vector<char>& bytes);
    static std::vector<char> frameBytes(uint32_t type, const std::vector<char>& payload);

    // The next frame within `timeout`; nothing on timeout or end of stream.
    std::optional<Frame> receive(std::chrono::milliseconds timeout = 5s);
    // The next frame of `type`, skipping others; nothing on timeout.
    std::optional<Frame> receiveType(uint32_t type, std::chrono::milliseconds timeout = 5s);
    // Waits until morva closes the connection (other frames are dropped).
    bool waitClosed(std::chrono::milliseconds timeout = 5s);

    // 500 -> 501: the handle (0 when refused); 0xffff on no answer.
    uint16_t join(const std::string& name);
    // A request answered by one frame.
    std::optional<Frame> request(uint32_t type, const std::vector<char>& payload = {});

    bool closedByPeer() const { return closed_; }
    int fd() const { return fd_; }
    void close();

  private:
    int fd_ = -1;
    bool closed_ = false;
    FrameReader reader_;
};

// A quorvex on a free loopback port; `env`: extra "NAME=value" entries.
class Registry {
  public:
    explicit Registry(const std::vector<std::string>& env = {});
    uint16_t port() const { return port_; }
    void reserve(const std::string& name);
    // Port of the registered executive (throws when not registered).
    uint16_t lookupPort(const std::string& name);
    bool isRegistered(const std::string& name);
    testsupport::Process& process() { return *process_; }

  private:
    uint16_t port_;
    std::unique_ptr<testsupport::Process> process_;
};

// A listening socket that accepts registrations and answers each request
// with `reply` (or never, when `reply` is empty).
class FakeRegistry {
  public:
    explicit FakeRegistry(std::optional<Frame> reply);
    ~FakeRegistry();
    uint16_t port() const { return port_; }

  private:
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::optional<Frame> reply_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::unique_ptr<testsupport::Process> startMorva(const std::string& name, uint16_t registryPort,
                                                 const std::string& timeoutSec = "1",
                                                 bool stdinDevNull = false,
                                                 const std::vector<std::string>& env = {});

// A registry with one registered executive serving the execution "fed".
// `morvaEnv` and `registryEnv`: extra "NAME=value" entries for each program.
class Execution {
  public:
    explicit Execution(const std::string& timeoutSec = "1", const std::string& name = "fed",
                       const std::vector<std::string>& morvaEnv = {},
                       const std::vector<std::string>& registryEnv = {});
    ~Execution();
    Registry registry;
    std::string name;
    std::unique_ptr<testsupport::Process> morva;
    uint16_t port = 0;

    std::unique_ptr<RawFederate> connect() { return std::make_unique<RawFederate>(port); }
    // Types a console line and waits for a stdout line containing `expect`.
    std::string console(const std::string& line, const std::string& expect);
};

}  // namespace morvatest
