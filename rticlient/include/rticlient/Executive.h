// A federate's client of the executive of one federation execution
// (`morva`): one TCP connection over which a federate joins, asks its
// requests, sends and receives the federation-wide messages, and resigns.
//
// Requests send one message and wait (within the timeout) for their own
// answer type. Messages that arrive meanwhile and are not the answer
// (relays, 132 departure notices, 518 offers) are kept, in arrival order,
// for receive(). Failures (rticlient/Errors.h):
// - a failure answer (1000, 1006, 1007) arriving while a request waits is
//   thrown as the RTIError subclass it names. The executive relays types it
//   does not handle, so read the answers to your own raw send()s with
//   receive() before the next request;
// - no answer in time: Timeout, and the connection is closed (a late answer
//   must not pass for the next request's);
// - the executive closing or resetting the connection: ConnectionLost (also
//   from receive(), once every message that arrived has been delivered);
// - an answer that does not decode, or a header announcing more than
//   kMaxPayload: ProtocolError, and the connection is closed;
// - after close() or a loss: NotConnected (receive() still hands out what
//   was kept).
//
// Ownership: the object owns its socket; the destructor closes it without
// resigning (the executive then handles the federate as disconnected).
// Movable, not copyable.
// Threading: not thread-safe and starts no thread; use one object from one
// thread at a time. Sends never raise SIGPIPE.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rticlient/Errors.h"
#include "rticlient/Registry.h"
#include "rticlient/Types.h"

namespace rticlient {

class Executive {
  public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{5000};

    // Not connected yet: connect() first.
    Executive();
    // Connects to host:port over IPv4 within `timeout`, which then bounds
    // every wait for an answer and every send. Throws ConnectError.
    Executive(const std::string& host, uint16_t port,
              std::chrono::milliseconds timeout = kDefaultTimeout);
    // Looks the execution `name` up in `registry` and connects to its
    // executive. Throws what Registry::lookup and the constructor throw.
    static Executive lookup(Registry& registry, const std::string& name,
                            std::chrono::milliseconds timeout = kDefaultTimeout);
    ~Executive();
    Executive(Executive&&) noexcept;
    Executive& operator=(Executive&&) noexcept;
    Executive(const Executive&) = delete;
    Executive& operator=(const Executive&) = delete;

    // Closes any earlier connection (dropping what it kept) and connects.
    void connect(const std::string& host, uint16_t port);
    void connect(const Reference& ref) { connect(ref.host, ref.port); }
    void setTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds timeout() const { return timeout_; }

    // --- Requests answered by the executive --------------------------------
    // 500 -> 501: joins as `federateName` and returns the handle; 0 when the
    // execution already has 20 federates (the connection stays open).
    uint16_t join(const std::string& federateName);
    // The handle this connection joined as; 0 before join() and after resign().
    uint16_t handle() const { return handle_; }
    // 504 -> 505: resigns the handle joined on this connection (or `handle`).
    // The executive closes the connection afterwards. Resigning another
    // connection's handle is refused: FederateNotExecutionMember.
    void resign();
    void resign(uint16_t handle);
    BestEffortAddress bestEffortAddress();  // 502 -> 503
    uint32_t allocateNumber();              // 506 -> 507: the execution's next number
    // 508 -> 509: names and references of the joined federates, in handle order.
    std::vector<FederateEntry> federateList();
    // The same with each federate's handle (508 and 510, asked until the
    // vector stays the same around the list).
    std::vector<Federate> federates();
    std::vector<uint16_t> federateVector();        // 510 -> 511: the joined handles
    Reference federateReference(uint16_t handle);  // 512 -> 513
    // 514 -> 515: ends the execution (the executive exits). Refused while
    // federates are joined: FederatesCurrentlyJoined.
    void destroy();

    // --- Messages without an answer ----------------------------------------
    // 516: leave without resigning; the executive closes the connection.
    void disconnect(uint16_t handle);
    // 517: attributes of object `objectId` that `formerOwner` left.
    void orphanedAttributes(uint16_t formerOwner, uint32_t objectId, uint16_t tag,
                            const std::vector<uint32_t>& attributes);
    void rollCallStart(const Bytes& payload);    // 127, relayed with the vector appended
    void rosterBroadcast(const Bytes& payload);  // 128, likewise
    void rollCallAnswer(const Bytes& payload);   // 129, relayed unchanged
    // Any type with any payload, sent as given. Throws std::length_error
    // above kMaxPayload, before anything is sent.
    void send(uint32_t type, const Bytes& payload = {});
    void send(uint32_t type, const void* data, size_t size);

    // --- Incoming messages ---------------------------------------------------
    // The next message not claimed by a request: first those kept while
    // requests waited, then what arrives within `timeout`. Nothing when the
    // time runs out; ConnectionLost once the executive has closed and every
    // message received before has been delivered.
    std::optional<Message> receive(std::chrono::milliseconds timeout);
    // The same, waiting until `deadline` at most.
    std::optional<Message> receive(std::chrono::steady_clock::time_point deadline);
    // Reads (keeping every message for receive()) until the executive closes
    // the connection; false if it is still open after `timeout`.
    bool waitForClose(std::chrono::milliseconds timeout);
    size_t pendingCount() const { return incoming_.size(); }

    bool connected() const;
    void close();
    // The socket, for a caller's own poll(); -1 when closed. Still owned
    // here. Messages may already be kept: check pendingCount() first.
    int fd() const;

    // --- Decoding incoming messages (throw DecodeError) ----------------------
    static uint16_t decodeFederateLeft(const Message& m);  // 132
    static AdoptOffer decodeAdoptOffer(const Message& m);  // 518
    // 127 and 128: the joined handles appended by the executive, and how
    // many bytes the sender's own payload took.
    static std::vector<uint16_t> trailingVector(const Message& m, size_t* bodySize = nullptr);

  private:
    Bytes request(const char* op, uint32_t type, const Bytes& payload, uint32_t answerType);
    void sendOrThrow(const char* op, uint32_t type, const void* data, size_t size);
    // One frame before `deadline`: true with `out` filled, false on timeout.
    // Throws ConnectionLost when the executive closed (nothing left to read),
    // naming the request `answering` waited for, if any.
    bool readFrame(const char* op, Message& out, std::chrono::steady_clock::time_point deadline,
                   uint32_t answering = 0);

    std::unique_ptr<Connection> conn_;
    std::deque<Message> incoming_;
    std::chrono::milliseconds timeout_ = kDefaultTimeout;
    uint16_t handle_ = 0;
};

}  // namespace rticlient
