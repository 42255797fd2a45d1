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

#include <cstdint>
#include <string>
#include <vector>

#include <ace/Basic_Types.h>

#include "FrameReader.h"
#include "RTImessageStream.h"
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
    struct Reply {
        uint32_t type = 0;
        std::vector<char> payload;
    };

    // Connects to host:port (IPv4; "localhost" means 127.0.0.1) within
    // `connectTimeoutMs`. Throws RTI::RTIinternalError (kSerialConnect) with
    // the system's error text when the connection cannot be made.
    RegistryClient(const std::string& host, uint16_t port,
                   unsigned connectTimeoutMs = kDefaultTimeoutMs);
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
    RTIP::BestEffortAddress registerExecution(const std::string& name,
                                              const RTIP::Reference& ref);
    // 904 -> 905 with the executive's reference. Throws
    // RTI::FederationExecutionDoesNotExist, RTIP::MorvaReferenceNotInitialized,
    // RTI::RTIinternalError.
    RTIP::Reference lookup(const std::string& name);
    // 906 -> 907: the registered executions in slot order.
    RTIP::FederationExecutionList list();
    // 910 -> 911: every execution in slot order, reserved ones included. A
    // registry that predates 910 answers 1008 (kSerialUnknownRequest).
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
    ACE_HANDLE handle() const { return stream_.get_handle(); }

private:
    // Waits for one reply and turns a failure answer into its exception;
    // returns the payload of a reply of type `expected`.
    Reply expectReply(const char* op, uint32_t expected);
    void sendOrThrow(const char* op, uint32_t type, const std::vector<char>& payload);
    Reply awaitOrThrow(const char* op);
    void requireConnected(const char* op) const;
    [[noreturn]] void lost(const char* op, const std::string& why);

    RTImessageStream stream_;
    FrameReader reader_;
    bool connected_ = false;
    unsigned replyTimeoutMs_ = kDefaultTimeoutMs;
};
