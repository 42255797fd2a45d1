// A federate-side client of the executive (`morva`): one TCP connection over
// which a federate joins, asks its requests, sends and receives the
// federation-wide messages, and resigns.
//
// Requests send one framed message and wait (bounded) for their own answer
// type. A failure answer (1000, 1006, 1007) arriving instead is decoded and
// rethrown as the RTI exception class it names, with the executive's serial
// and reason (RTI::throwAsNamedClass). Messages that arrive while a request
// waits and are not its answer (relays, 132 departure notices, 518 offers)
// are kept, in arrival order, for receive(). A failure answer that arrives
// while a request waits is taken as that request's answer, so read the
// answers to raw send()s with receive() before the next request.
//
// The client's own failures are thrown as RTI::RTIinternalError with one of
// the serials below and a reason that starts with "ExecutiveClient::<op>: ".
// Answers that do not decode are reported with kSerialBadAnswer; the decoders
// never read past the bytes received.
//
// Ownership: the client owns its socket; the destructor closes it.
// Threading: not thread-safe and starts no thread. Use one client object from
// one thread at a time; several clients on several threads are independent.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "FramedChannel.h"
#include "RTIexceptions.h"
#include "References.h"

namespace RTIP {

class ExecutiveClient {
  public:
    // Serials of the client's own RTI::RTIinternalError failures.
    static constexpr uint32_t kSerialConnect = 24100;         // cannot connect
    static constexpr uint32_t kSerialSend = 24101;            // send incomplete
    static constexpr uint32_t kSerialTimeout = 24102;         // no answer in time
    static constexpr uint32_t kSerialConnectionLost = 24103;  // peer closed / broken
    static constexpr uint32_t kSerialBadAnswer = 24105;       // answer does not decode
    static constexpr uint32_t kSerialNotConnected = 24106;    // used before connect / after close

    static constexpr std::chrono::milliseconds kDefaultTimeout{5000};

    // One incoming message: its type and payload.
    using Message = FramedChannel::Message;

    // An offer of orphaned attributes (518).
    struct AdoptOffer {
        uint32_t objectId = 0;
        uint16_t tag = 0;
        RTI::AttributeHandleSet attributes;
    };

    ExecutiveClient() = default;
    ~ExecutiveClient();
    ExecutiveClient(const ExecutiveClient&) = delete;
    ExecutiveClient& operator=(const ExecutiveClient&) = delete;

    // Connects to host:port over IPv4 within the reply timeout. Any earlier
    // connection is closed first and its unread messages dropped. Throws
    // RTI::RTIinternalError (kSerialConnect) with the system's error text.
    void connect(const std::string& host, uint16_t port);
    void connect(const Reference& ref) { connect(ref.host(), ref.port()); }

    // Bound for each wait for an answer, and for connecting.
    void setTimeout(std::chrono::milliseconds t) { timeout_ = t; }

    // --- Requests answered by the executive --------------------------------
    // 500 -> 501: the handle, 0 when the execution already has 20 federates.
    uint16_t join(const std::string& federateName);
    // 504 -> 505. The executive closes the connection afterwards.
    void resign(uint16_t handle);
    BestEffortAddress bestEffortAddress();         // 502 -> 503
    uint32_t allocateNumber();                     // 506 -> 507
    FederateList federateList();                   // 508 -> 509, in handle order
    FederateVector federateVector();               // 510 -> 511
    Reference federateReference(uint16_t handle);  // 512 -> 513
    // 514 -> 515. On success the executive ends; refused while federates are
    // joined (RTI::FederatesCurrentlyJoined, connection closed by the peer).
    void destroy();

    // --- Messages without an answer ----------------------------------------
    void disconnect(uint16_t handle);  // 516: the executive closes silently
    void orphanedAttributes(uint16_t formerOwner, uint32_t objectId, uint16_t tag,
                            const RTI::AttributeHandleSet& attributes);  // 517
    void rollCallStart(const std::vector<char>& payload);                // 127
    void rosterBroadcast(const std::vector<char>& payload);              // 128
    void rollCallAnswer(const std::vector<char>& payload);               // 129
    // Any type with any payload, sent as given (relays, or deliberately
    // malformed requests). Answers to it are delivered by receive().
    void send(uint32_t type, const std::vector<char>& payload = {});
    void send(uint32_t type, const void* data, size_t length);

    // --- Incoming messages ---------------------------------------------------
    // The next message not claimed by a request: first those kept while
    // requests waited, then what arrives within `timeout`. Nothing when the
    // time runs out or the executive has closed the connection (peerClosed()).
    std::optional<Message> receive(std::chrono::milliseconds timeout);
    // Reads (keeping every message for receive()) until the executive closes
    // the connection; false if it is still open after `timeout`.
    bool waitForClose(std::chrono::milliseconds timeout);
    size_t pendingCount() const { return incoming_.size(); }

    // True once the executive was seen closing the connection.
    bool peerClosed() const { return peerClosed_; }
    bool connected() const { return connected_; }
    void close();
    ACE_HANDLE handle() const { return channel_.handle(); }

    // --- Decoding helpers for incoming messages ------------------------------
    // These throw RTIP::MalformedMessage on payloads that do not decode.
    static uint16_t decodeFederateLeft(const Message& m);  // 132: the handle
    static AdoptOffer decodeAdoptOffer(const Message& m);  // 518
    // 127 and 128 arrive with the federate vector appended: the vector and the
    // number of bytes that precede it (the sender's own payload).
    static FederateVector trailingVector(const Message& m, size_t* bodyLength = nullptr);

  private:
    using Clock = std::chrono::steady_clock;

    // Sends a request and returns the payload of the answer of type
    // `answerType`; failure answers are thrown as their RTI exception.
    std::vector<char> request(const char* op, uint32_t type, const std::vector<char>& payload,
                              uint32_t answerType);
    void sendOrThrow(const char* op, uint32_t type, const void* data, size_t length);
    // One frame before `deadline`: true with `out` filled, false on timeout or
    // when the peer closed (peerClosed_ set). Throws on a broken connection.
    bool readFrame(const char* op, Message& out, Clock::time_point deadline);
    void requireConnected(const char* op) const;
    [[noreturn]] void fail(const char* op, uint32_t serial, const std::string& why);

    FramedChannel channel_;
    std::deque<Message> incoming_;
    bool connected_ = false;
    bool peerClosed_ = false;
    std::chrono::milliseconds timeout_ = kDefaultTimeout;
};

}  // namespace RTIP
