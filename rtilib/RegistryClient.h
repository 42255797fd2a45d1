// A synchronous client of the registry (`quorvex`): one TCP connection, one
// request at a time, each answered within a bounded time.
//
// Every typed operation sends one framed message and (except obituary) waits
// for exactly one reply on the same connection. Failure answers (1000-1007)
// are decoded and rethrown as the RTI exception class they name, with the
// registry's serial and reason (RTI::throwAsNamedClass). The client's own
// failures are thrown as RTI::RTIinternalError with one of the serials below
// and a reason that starts with "RegistryClient::<operation>: ".
//
// Ownership: the client owns its socket; the destructor closes it.
// Threading: not thread-safe. Use one client from one thread at a time (or
// guard it yourself); nothing in it starts a thread.
#pragma once

#include <ace/Basic_Types.h>
#include <ace/INET_Addr.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FramedChannel.h"
#include "References.h"

class RegistryClient {
  public:
    // Serials of the client's own RTI::RTIinternalError failures.
    static constexpr uint32_t kSerialConnect = 24000;         // cannot connect
    static constexpr uint32_t kSerialSend = 24001;            // send incomplete
    static constexpr uint32_t kSerialTimeout = 24002;         // no reply in time
    static constexpr uint32_t kSerialConnectionLost = 24003;  // peer closed / broken
    static constexpr uint32_t kSerialUnknownRequest = 24004;  // registry answered 1008
    static constexpr uint32_t kSerialBadReply = 24005;        // unexpected type or payload
    static constexpr uint32_t kSerialNotConnected = 24006;    // used after close()/loss

    static constexpr unsigned kDefaultTimeoutMs = 5000;

    // A raw reply: its message type and payload bytes.
    using Reply = FramedChannel::Message;

    // How a wait for a reply ended without one.
    struct Cut {
        // What ended the wait; never Frame.
        FramedChannel::Read how = FramedChannel::Read::Timeout;
        int error = 0;           // errno for Broken and WaitFailed
        size_t received = 0;     // bytes of the unfinished reply, header included
        uint32_t type = 0;       // the header's, once received >= kHeaderSize
        uint32_t length = 0;     //   (for TooLarge: the announced length)
        unsigned timeoutMs = 0;  // the bound that applied
    };

    // How the client words its failures, and what it is told along the way.
    // The defaults are the client's own: the serials above and reasons that
    // start with "RegistryClient::<operation>: ". A program whose operators
    // and peers already know other texts for the same failures overrides
    // them. `op` is the operation's name ("registerExecution", "obituary",
    // ...). Every [[noreturn]] hook throws. When one for a failed reply is
    // called the connection is closed already, and so it is for a failed
    // send that wrote part of the message.
    class Voice {
      public:
        virtual ~Voice() = default;
        // host: as given (or the address connected to); err: errno, ETIME
        // when the connect timeout passed.
        [[noreturn]] virtual void connectFailed(const std::string& host, uint16_t port,
                                                int err) const;
        [[noreturn]] virtual void notConnected(const char* op) const;
        // sent: what the send returned; err: errno after it.
        [[noreturn]] virtual void sendFailed(const char* op, ssize_t sent, int err) const;
        // No whole reply arrived: the time ran out or the connection ended.
        [[noreturn]] virtual void noReply(const char* op, const Cut& cut) const;
        // A failure answer (1000-1007) instead of the expected reply: throws
        // the RTI exception it names (RTI::throwAsNamedClass).
        [[noreturn]] virtual void failureAnswer(const char* op, const Reply& reply) const;
        // Any other reply type than the expected one.
        [[noreturn]] virtual void unexpectedReply(const char* op, const Reply& reply,
                                                  uint32_t expected) const;
        // The expected reply whose payload does not decode as `what`.
        [[noreturn]] virtual void undecodable(const char* op, const Reply& reply, const char* what,
                                              const char* why) const;
        // A reply's header is in (also when its payload then fails to come).
        virtual void replyHeader(const char* op, uint32_t type, uint32_t length) const;
    };

    // Connects to host:port (IPv4; "localhost" means 127.0.0.1) within
    // `connectTimeoutMs`. Throws RTI::RTIinternalError (kSerialConnect) with
    // the system's error text when the connection cannot be made.
    RegistryClient(const std::string& host, uint16_t port,
                   unsigned connectTimeoutMs = kDefaultTimeoutMs);
    // Connects to `address` within `connectTimeoutMs`; every failure from
    // here on is worded by `voice` (connectFailed when this fails).
    RegistryClient(const ACE_INET_Addr& address, unsigned connectTimeoutMs,
                   std::unique_ptr<const Voice> voice);
    ~RegistryClient();
    RegistryClient(const RegistryClient&) = delete;
    RegistryClient& operator=(const RegistryClient&) = delete;

    // Bound for each wait for a reply (default kDefaultTimeoutMs). A typed
    // operation or request() that times out closes the connection, so a late
    // reply can never be taken for the answer to a later request.
    void setReplyTimeout(unsigned milliseconds) { replyTimeoutMs_ = milliseconds; }

    // 900 -> 901. Throws RTI::FederationExecutionAlreadyExists,
    // RTIP::FederationCountExceeded, RTI::RTIinternalError.
    void reserve(const std::string& name);
    // 902 -> 903 with the execution's best-effort address. Throws
    // RTI::FederationExecutionAlreadyExists, RTI::FederationExecutionDoesNotExist,
    // RTI::RTIinternalError.
    RTIP::BestEffortAddress registerExecution(const std::string& name, const RTIP::Reference& ref);
    // The same for an executive registering again: `remembered`, the
    // best-effort address it held before, follows the reference, so a
    // registry that finds it free gives it back. Registries that do not
    // know the field ignore it.
    RTIP::BestEffortAddress registerExecution(const std::string& name, const RTIP::Reference& ref,
                                              const RTIP::BestEffortAddress& remembered);
    // 904 -> 905 with the executive's reference. Throws
    // RTI::FederationExecutionDoesNotExist, RTIP::MorvaReferenceNotInitialized,
    // RTI::RTIinternalError.
    RTIP::Reference lookup(const std::string& name);
    // 906 -> 907: the registered executions in slot order.
    RTIP::FederationExecutionList list();
    // 960 -> 961: every execution in slot order, reserved ones included. A
    // registry that predates 960 answers 1008 (kSerialUnknownRequest).
    RTIP::ExecutionTable executionTable();
    // 908; the registry never answers it, so only the send is checked.
    void obituary(const std::string& name);

    // Sends one message of any type and waits for one reply of any type;
    // failure answers are returned, not thrown. Throws RTI::RTIinternalError
    // on send failure, timeout or a lost connection.
    Reply request(uint32_t type, const std::vector<char>& payload = {});
    // Sends one message without waiting for anything. Throws
    // RTI::RTIinternalError (kSerialSend) when the send is incomplete.
    void send(uint32_t type, const std::vector<char>& payload = {});
    // Waits up to `timeoutMs` for the next message. Returns false on timeout
    // (the connection stays usable); throws when the connection is lost.
    bool receive(Reply& reply, unsigned timeoutMs);

    // True until close() or until a lost connection was detected.
    bool connected() const { return connected_; }
    void close();
    ACE_HANDLE handle() const { return channel_.handle(); }

  private:
    RTIP::BestEffortAddress registerEncoded(const std::vector<char>& payload);
    void connect(const ACE_INET_Addr& address, const std::string& host, uint16_t port,
                 unsigned connectTimeoutMs);
    // Waits for one reply and turns a failure answer into its exception;
    // returns the payload of a reply of type `expected`.
    Reply expectReply(const char* op, uint32_t expected);
    void sendOrThrow(const char* op, uint32_t type, const std::vector<char>& payload);
    // One reply within `timeoutMs`: true with `reply` filled; false with
    // `cut` saying what ended the wait (on anything but a timeout the
    // connection is closed by then).
    bool awaitReply(const char* op, Reply& reply, unsigned timeoutMs, Cut& cut);
    Reply awaitOrThrow(const char* op);
    // Runs `decode` on the payload of `reply`; a payload that does not
    // decode is reported by the voice as `what`.
    template <class Decode>
    auto decodeReply(const char* op, const Reply& reply, const char* what, Decode decode)
        -> decltype(decode());

    std::unique_ptr<const Voice> voice_;
    FramedChannel channel_;
    bool connected_ = false;
    unsigned replyTimeoutMs_ = kDefaultTimeoutMs;
};
