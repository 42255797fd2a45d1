// A client of the registry of federation executions (`quorvex`): one TCP
// connection, one request at a time, each answered within a bound.
//
// Each call sends one message and (except obituary() and send()) waits for
// exactly one reply on the same connection. Failures (rticlient/Errors.h):
// - a failure answer is thrown as the RTIError subclass it names, with the
//   registry's serial and reason; the connection stays usable;
// - no reply within the timeout throws Timeout and closes the connection,
//   so that a late reply is never taken for the answer to a later request;
// - a closed or reset connection throws ConnectionLost, a reply that does
//   not decode or is of the wrong type ProtocolError (1008: UnknownRequest);
//   after either the connection is closed;
// - once closed, every call throws NotConnected.
//
// Ownership: the object owns its socket; the destructor closes it. It is
// movable, not copyable.
// Threading: not thread-safe; use one object from one thread at a time.
// It starts no thread and installs no signal handler (sends never raise
// SIGPIPE).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rticlient/Errors.h"
#include "rticlient/Types.h"

namespace rticlient {

class Connection;

class Registry {
  public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{5000};

    // Connects to host:port over IPv4 within `timeout`, which then bounds
    // every wait for a reply and every send. Throws ConnectError.
    Registry(const std::string& host, uint16_t port,
             std::chrono::milliseconds timeout = kDefaultTimeout);
    ~Registry();
    Registry(Registry&&) noexcept;
    Registry& operator=(Registry&&) noexcept;
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    void setTimeout(std::chrono::milliseconds timeout);

    // 900 -> 901: reserves `name`. FederationExecutionAlreadyExists when it
    // is taken, FederationCountExceeded when the registry is full.
    void reserve(const std::string& name);
    // 902 -> 903: registers `executive` as the executive of the reserved
    // `name` and returns its best-effort address. With `remembered`, asks
    // for the address the executive held before (a registry that can gives
    // it back when no other execution holds it; older ones ignore it).
    // FederationExecutionDoesNotExist (not reserved),
    // FederationExecutionAlreadyExists (already registered).
    BestEffortAddress registerExecution(const std::string& name, const Reference& executive,
                                        std::optional<BestEffortAddress> remembered = {});
    // 904 -> 905: the reference of the executive serving `name`.
    // FederationExecutionDoesNotExist, MorvaReferenceNotInitialized (reserved,
    // not registered yet).
    Reference lookup(const std::string& name);
    // 906 -> 907: the registered executions in slot order.
    std::vector<Execution> list();
    // 960 -> 961: every entry, reserved ones included; asks for the extended
    // form (lost entries and their grace) and reads either form. A registry
    // that predates the table answers 1008: UnknownRequest.
    ExecutionTable executionTable();
    // 908: reports that the execution `name` has ended. The registry never
    // answers, so only the send is checked; it takes the obituary only from
    // the connection that registered (or reserved) the name.
    void obituary(const std::string& name);

    // Any request: sends it and returns the one reply, failure answers
    // included (not thrown). Every call that sends throws std::length_error
    // for a payload above kMaxPayload, before anything is sent.
    Message request(uint32_t type, const Bytes& payload = {});
    // Sends one message without waiting.
    void send(uint32_t type, const Bytes& payload = {});

    bool connected() const;
    void close();
    // The socket, for a caller's own poll(); -1 when closed. Still owned here.
    int fd() const;

  private:
    void sendOrThrow(const char* op, uint32_t type, const Bytes& payload);
    // The one reply to the request just sent; closes the connection on
    // anything but a whole reply.
    Message await(const char* op, uint32_t requestType);
    // Sends and returns the reply of type `replyType`; failure answers are
    // thrown as their RTIError, any other type as ProtocolError.
    Message expect(const char* op, uint32_t type, const Bytes& payload, uint32_t replyType);

    std::unique_ptr<Connection> conn_;
    std::chrono::milliseconds timeout_;
};

}  // namespace rticlient
