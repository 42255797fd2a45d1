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
// No peer can make the loop wait for it:
//   - Reading: each readable event does one non-blocking recv into the
//     connection's FrameReader and dispatches every complete frame in it;
//     partial frames wait for more bytes.
//   - Writing: replies go out without blocking. What the peer has not taken
//     waits in the connection's output buffer (at most kOutputLimit bytes)
//     and is flushed when the socket turns writable. While replies wait, the
//     connection's further requests wait too (it is not read), so replies
//     keep their order and one client cannot grow its buffer. A peer that
//     takes nothing for the stall timeout while replies wait is dropped.
//   - Time: a connection that delivers no complete message within the silent
//     timeout of connecting is closed; one that has spoken stays for good.
//   - Descriptors: out of them, the acceptor rests for a second instead of
//     failing on every pass.
// A client that misbehaves has its own connection closed with a line naming
// it; everyone else is served on.
//
// Each registered execution is tied to the connection that registered it:
// when that connection is lost, the table keeps answering for the execution
// during the lost grace (QuorvexImpl).
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
#include <vector>

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

// The registry's limits and timeouts, each with its environment knob
// (whole seconds).
struct QuorvexLimits {
    // QUORVEX_SILENT_TIMEOUT: a connection must deliver a complete message
    // this soon after connecting, or it is closed.
    std::chrono::seconds silentTimeout{30};
    // QUORVEX_STALL_TIMEOUT: a peer that takes no byte of its waiting
    // replies for this long is dropped.
    std::chrono::seconds stallTimeout{10};
    // QUORVEX_RESERVE_TIMEOUT: a reservation not registered this soon is freed.
    std::chrono::seconds reserveTimeout{QuorvexImpl::kDefaultReserveTimeout};
    // QUORVEX_LOST_GRACE: how long a lost executive's reference is still
    // answered (0: freed at once).
    std::chrono::seconds lostGrace{QuorvexImpl::kDefaultLostGrace};

    // Reads the knobs that are set. False, with `error` ("QUORVEX_...: ..."),
    // for a value that is not a whole number within its bounds.
    bool readEnvironment(std::string& error);
};

class QuorvexCommHandler {
  public:
    static constexpr int kConnectionCount = 20;
    // Replies of one connection waiting for its peer: a few dozen full
    // execution lists. Past it the peer is handled as lost.
    static constexpr size_t kOutputLimit = 256 * 1024;
    // Historical: replies no longer block, so this bounds nothing the
    // registry does; kept for harnesses that set it on a socket.
    static constexpr unsigned kSendTimeoutMs = 1000;
    // Length of one reactor pass; the stop flag is checked after each.
    static constexpr int kPassSeconds = 2;
    // How long the acceptor rests when the process is out of descriptors.
    static constexpr std::chrono::milliseconds kAcceptRest{1000};
    // Period of the housekeeping timer (timeouts, expiries, the acceptor's rest).
    static constexpr std::chrono::milliseconds kHousekeepingPeriod{250};

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
    // once, from the thread that will call run(). Prints "LOG Acceptor open
    // on HANDLE", then "LOG Listening on ADDRESS:PORT".
    void initialize(uint16_t port, uint32_t bindAddress = 0);
    // Before initialize().
    void setLimits(const QuorvexLimits& limits);
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
        int handle_output(ACE_HANDLE handle) override;
        // Signal context: async-signal-safe work only.
        int handle_signal(int signum, siginfo_t*, ucontext_t*) override;

      private:
        QuorvexCommHandler& owner_;
    };

    // Runs housekeeping() every kHousekeepingPeriod.
    class TimerHandler : public ACE_Event_Handler {
      public:
        explicit TimerHandler(QuorvexCommHandler& owner) : owner_(owner) {}
        int handle_timeout(const ACE_Time_Value&, const void*) override;

      private:
        QuorvexCommHandler& owner_;
    };

    using Clock = std::chrono::steady_clock;

    struct ConnectionSlot {
        RTImessageStream stream;
        FrameReader reader;  // bytes received but not yet dispatched
        bool inUse = false;
        uint64_t id = 0;      // never reused; the table's owner of its entries
        std::string peer;     // "ADDRESS:PORT", taken at accept
        bool spoken = false;  // a complete message arrived
        Clock::time_point connectedAt;
        std::vector<char> output;     // replies not yet taken by the peer
        size_t outputStart = 0;       // first byte of `output` not yet sent
        Clock::time_point lastTaken;  // the peer last took bytes (or replies began waiting)
        bool watchingWrite = false;   // the reactor's interest: writing, else reading
        size_t waiting() const { return output.size() - outputStart; }
    };

    // --- reactor thread only ---
    void acceptConnection();
    // Accepts into `stream`; on failure prints the "Can't accept" line once
    // per episode and, out of descriptors, rests the acceptor. False then.
    bool acceptInto(ACE_SOCK_Stream& stream);
    void readMessage(ACE_HANDLE handle);
    // Dispatches the complete frames buffered for `index` while none of its
    // replies wait.
    void serveBuffered(int index);
    // Sends what waits for `index`, as far as the socket takes it. False
    // (errno set) when the connection broke.
    bool flushOutput(int index);
    void writeReady(ACE_HANDLE handle);
    // Watches the connection for reading, or, while replies wait, for writing.
    void updateInterest(int index);
    // Timeouts of connections and table entries, and the end of the acceptor's rest.
    void housekeeping();
    int readConsole();
    int getStreamByHandle(ACE_HANDLE handle) const;
    int findFreeConnection() const;
    // Closes connection `index` and frees its buffers. Its registered
    // executions turn lost (logged with the peer), except at shutdown.
    // `abort`: a peer given up on, whose unsent replies are discarded with
    // a reset rather than trickled out after the close.
    void closeConn(int index, bool abort = false);
    // A message whose payload never fully arrived (the peer closed or failed
    // after its header): prints `error` on a line of its own, then the
    // "Bad msg on" line naming the connection.
    void reportBadMessage(int index, int error);

    // Request handling (QuorvexProtocol.cpp). `conn` is the index of the
    // connection the request came from; it may be closed on return when its
    // reply could not be sent.
    void dispatch(uint32_t type, uint32_t length, const char* payload, int conn);
    void reserveFederationExecution(const char* payload, uint32_t length, int conn);
    void registerFederationExecution(const char* payload, uint32_t length, int conn);
    void getMorvaByName(const char* payload, uint32_t length, int conn);
    void getAllFederationExecutions(int conn);
    void getExecutionTable(const char* payload, uint32_t length, int conn);
    void receiveMorvaObituary(const char* payload, uint32_t length, int conn);
    // Queues a reply and sends what the socket takes now; when the
    // connection broke or its waiting replies pass kOutputLimit, prints
    // `failureLine` + -1 + the peer, closes the connection and returns false.
    bool sendReply(int conn, uint32_t type, const RTIP::EncodeBuffer& payload,
                   const char* failureLine);
    // Answers a request that could not be decoded with 1000 carrying `fault`.
    void refuseMalformed(int conn, const quorvex::Fault& fault, const char* failureLine);
    void stopStatusHttp();

    std::ostream& out_;
    QuorvexLimits limits_;
    std::atomic<bool> done_{false};
    ACE_Reactor reactor_;
    ACE_SOCK_Acceptor acceptor_;
    ConsoleHandler consoleHandler_{*this};
    bool acceptorOpen_ = false;
    bool signalRegistered_ = false;
    bool consoleRegistered_ = false;
    AcceptorHandler acceptorHandler_{*this};
    MessageHandler messageHandler_{*this};
    TimerHandler timerHandler_{*this};
    bool timerScheduled_ = false;
    bool shuttingDown_ = false;
    uint64_t nextConnectionId_ = 1;
    // Accepting failed and has not succeeded since: the failure was logged.
    bool acceptFailing_ = false;
    bool acceptResting_ = false;
    Clock::time_point acceptRestEnds_;
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
