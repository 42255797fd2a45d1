// The registry server around its table: the acceptor on the well-known port,
// up to 20 client connections, the reactor loop, the operator's console and
// SIGINT.
//
// Everything runs on one thread, the reactor thread (the one that calls
// run()): accepting, reading, dispatching requests and the console commands,
// which are read from standard input through the same reactor. The table is
// therefore never used by two threads at once and needs no lock. The only
// work done elsewhere is SIGINT's handle_signal, which runs in signal context
// and only sets the atomic stop flag and write(2)s its log line.
//
// Reading never blocks the loop: each readable event does one non-blocking
// recv into the connection's FrameReader and dispatches every complete frame
// in it; partial frames wait for more bytes. A client that misbehaves (sends
// garbage, an oversize header, vanishes before its reply, stops reading) has
// its own connection closed with an "ERR " line; everyone else is served on.
//
// Output: every line goes to the stream given at construction (standard
// output in the program), each flushed as it is written.
#pragma once

#include <ace/Event_Handler.h>
#include <ace/Reactor.h>
#include <ace/SOCK_Acceptor.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>

#include "ConsoleCommand.h"
#include "ConsoleLines.h"
#include "FrameReader.h"
#include "QuorvexFaults.h"
#include "QuorvexImpl.h"
#include "QuorvexStatus.h"
#include "RTImessageStream.h"

namespace RTIP {
class EncodeBuffer;
}
namespace RTI {
class Exception;
}
namespace statushttp {
class StatusServer;
}

class QuorvexCommHandler {
  public:
    static constexpr int kConnectionCount = 20;
    // Bounds a reply to a client that stopped reading; past it the reply
    // counts as failed and that client's connection is closed.
    static constexpr unsigned kSendTimeoutMs = 1000;
    // Length of one reactor pass; the stop flag is checked after each.
    static constexpr int kPassSeconds = 2;

    // `out` receives every log and error line and must outlive the handler.
    explicit QuorvexCommHandler(std::ostream& out = std::cout);
    // Closes the acceptor and every connection; clients only see the close.
    ~QuorvexCommHandler();
    QuorvexCommHandler(const QuorvexCommHandler&) = delete;
    QuorvexCommHandler& operator=(const QuorvexCommHandler&) = delete;

    // Registers SIGINT, the console (standard input) and the acceptor at
    // `port` (0: a port chosen by the system) on `bindAddress` (IPv4, host
    // byte order; 0: all interfaces). Throws RTI::RTIinternalError (12000,
    // 12007, 12001, 12002) after printing the matching "ERR " line. Call
    // once, from the thread that will call run().
    void initialize(uint16_t port, uint32_t bindAddress = 0);
    // Serves until the stop flag is set ("quit" or SIGINT). Reactor thread.
    void run();

    // The one way the registry decides to end: run() returns and main shuts
    // down; nothing in the registry ends the process itself. Safe from any
    // thread and from signal context.
    void requestStop() { done_.store(true); }
    bool stopRequested() const { return done_.load(); }

    // The acceptor's port, once initialize() has succeeded.
    uint16_t localPort() const;

    // Executes one console line. Reactor thread (or before run()).
    void executeConsoleLine(const std::string& line);

    QuorvexImpl& table() { return table_; }
    int connectionCount() const { return connectionCount_; }

    // Status endpoint (QuorvexStatus.cpp). Opens it when QUORVEX_HTTP names
    // an address and prints its line ("LOG HTTP status on ..." or "ERR
    // QUORVEX_HTTP: ..."). False when the address is bad or cannot be
    // listened on; true otherwise, also when the variable is not set (then
    // nothing is opened or printed). Call once, from the thread that will
    // call run().
    bool startStatusHttp();
    // A copy of the table and the counters. Reactor thread (the endpoint asks
    // for it through its StatusHandOff).
    QuorvexSnapshot statusSnapshot() const;

  private:
    // The request fuzzer hands a socket pair to a slot and drives
    // readMessage itself, without a reactor loop.
    friend struct QuorvexFuzzAccess;

    // The reactor's upcalls; each forwards to its QuorvexCommHandler.
    class AcceptorHandler : public ACE_Event_Handler {
      public:
        explicit AcceptorHandler(QuorvexCommHandler& owner) : owner_(owner) {}
        int handle_input(ACE_HANDLE) override;

      private:
        QuorvexCommHandler& owner_;
    };
    class ConsoleHandler : public ACE_Event_Handler {
      public:
        explicit ConsoleHandler(QuorvexCommHandler& owner) : owner_(owner) {}
        // Returns -1 at end of input, which unregisters the console.
        int handle_input(ACE_HANDLE) override;

      private:
        QuorvexCommHandler& owner_;
    };
    // One object for all connections; also the SIGINT handler.
    class MessageHandler : public ACE_Event_Handler {
      public:
        explicit MessageHandler(QuorvexCommHandler& owner) : owner_(owner) {}
        int handle_input(ACE_HANDLE handle) override;
        // Signal context: async-signal-safe work only.
        int handle_signal(int signum, siginfo_t*, ucontext_t*) override;

      private:
        QuorvexCommHandler& owner_;
    };

    struct ConnectionSlot {
        RTImessageStream stream;
        FrameReader reader;  // bytes received but not yet dispatched
        bool inUse = false;
    };

    // --- reactor thread only ---
    void acceptConnection();
    void readMessage(ACE_HANDLE handle);
    int readConsole();
    int getStreamByHandle(ACE_HANDLE handle) const;
    int findFreeConnection() const;
    void closeConn(int index);
    // A message whose payload never fully arrived (the peer closed or failed
    // after its header): prints `error` on a line of its own, then the
    // "Bad msg on" line naming the connection.
    void reportBadMessage(ACE_HANDLE handle, int error);

    // Request handling (QuorvexProtocol.cpp). `conn` is the index of the
    // connection the request came from; it may be closed on return when its
    // reply could not be sent.
    void dispatch(uint32_t type, uint32_t length, const char* payload, int conn);
    void reserveFederationExecution(const char* payload, uint32_t length, int conn);
    void registerFederationExecution(const char* payload, uint32_t length, int conn);
    void getMorvaByName(const char* payload, uint32_t length, int conn);
    void getAllFederationExecutions(int conn);
    void getExecutionTable(int conn);
    void receiveMorvaObituary(const char* payload, uint32_t length, int conn);
    // Sends a reply; on failure prints `failureLine` + the number returned,
    // closes the connection and returns false.
    bool sendReply(int conn, uint32_t type, const RTIP::EncodeBuffer& payload,
                   const char* failureLine);
    // Answers a request that could not be decoded with 1000 carrying `fault`.
    void refuseMalformed(int conn, const quorvex::Fault& fault, const char* failureLine);
    void stopStatusHttp();

    std::ostream& out_;
    std::atomic<bool> done_{false};
    ACE_Reactor reactor_;
    ACE_SOCK_Acceptor acceptor_;
    ConsoleHandler consoleHandler_{*this};
    bool acceptorOpen_ = false;
    bool signalRegistered_ = false;
    bool consoleRegistered_ = false;
    AcceptorHandler acceptorHandler_{*this};
    MessageHandler messageHandler_{*this};
    QuorvexImpl table_;
    RTIP::ConsoleLineSplitter consoleLines_{RTIP::ConsoleLineSplitter::kServerConsoleLine};
    int connectionCount_ = 0;
    std::array<ConnectionSlot, kConnectionCount> connections_;
    QuorvexCounters counters_;
    uint32_t dispatching_ = 0;  // the request being dispatched
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    // The endpoint's threads use the hand-off; both go first in the destructor.
    std::unique_ptr<StatusHandOff> statusHandOff_;
    std::unique_ptr<statushttp::StatusServer> statusHttp_;
};
