// The values that travel between a client and the two servers, as plain
// C++ values: references, best-effort addresses, list entries, the
// registry's execution table, and one framed message.
//
// Everything here is a value type with no hidden state: copy it, keep it,
// pass it between threads freely. Nothing here talks to the network.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rticlient {

// Limits every server enforces (and so every well-behaved client keeps).
constexpr uint32_t kMaxPayload =
    16u * 1024u * 1024u;               // bytes in one message; exactly this is allowed
constexpr size_t kMaxNameLength = 63;  // execution and federate names
constexpr size_t kMaxHostLength = 49;  // the host of a reference
constexpr uint16_t kMaxHandle = 20;    // federate handles are 1..20; 0 names no federate
constexpr size_t kHeaderSize = 8;      // type and length, 4 bytes each

// Message types by number. Requests of the registry are even, its replies
// odd; failure answers are shared by both servers.
namespace msg {
constexpr uint32_t kRollCallStart = 127;
constexpr uint32_t kRosterBroadcast = 128;
constexpr uint32_t kRollCallAnswer = 129;
constexpr uint32_t kFederateLeft = 132;
constexpr uint32_t kJoin = 500;
constexpr uint32_t kJoinReply = 501;
constexpr uint32_t kGetBestEffortAddress = 502;
constexpr uint32_t kGetBestEffortAddressReply = 503;
constexpr uint32_t kResign = 504;
constexpr uint32_t kResignReply = 505;
constexpr uint32_t kAllocateNumber = 506;
constexpr uint32_t kAllocateNumberReply = 507;
constexpr uint32_t kGetFederateList = 508;
constexpr uint32_t kGetFederateListReply = 509;
constexpr uint32_t kGetFederateVector = 510;
constexpr uint32_t kGetFederateVectorReply = 511;
constexpr uint32_t kGetFederateReference = 512;
constexpr uint32_t kGetFederateReferenceReply = 513;
constexpr uint32_t kDestroy = 514;
constexpr uint32_t kDestroyReply = 515;
constexpr uint32_t kDisconnect = 516;
constexpr uint32_t kOrphanedAttributes = 517;
constexpr uint32_t kAdoptOrphanedAttributes = 518;
constexpr uint32_t kReserve = 900;
constexpr uint32_t kReserveReply = 901;
constexpr uint32_t kRegister = 902;
constexpr uint32_t kRegisterReply = 903;
constexpr uint32_t kLookup = 904;
constexpr uint32_t kLookupReply = 905;
constexpr uint32_t kList = 906;
constexpr uint32_t kListReply = 907;
constexpr uint32_t kObituary = 908;
constexpr uint32_t kExecutionTable = 960;
constexpr uint32_t kExecutionTableReply = 961;
constexpr uint32_t kException = 1000;  // first failure answer
constexpr uint32_t kFederationExecutionAlreadyExists = 1001;
constexpr uint32_t kMorvaReferenceNotInitialized = 1002;
constexpr uint32_t kFederationCountExceeded = 1003;
constexpr uint32_t kFederationExecutionDoesNotExist = 1005;
constexpr uint32_t kFederateNotExecutionMember = 1006;
constexpr uint32_t kFederatesCurrentlyJoined = 1007;
constexpr uint32_t kUnknownRequest = 1008;  // the registry does not know the request
}  // namespace msg

using Bytes = std::vector<uint8_t>;

// Host and port of a listening endpoint. The empty reference (host "",
// port 0) names nothing.
struct Reference {
    std::string host;
    uint16_t port = 0;

    // "host:port"; the empty reference prints ":0".
    std::string text() const;
    bool operator==(const Reference& o) const { return host == o.host && port == o.port; }
    bool operator!=(const Reference& o) const { return !(*this == o); }
};

// The four octets the registry hands an execution (236.236.0.N).
struct BestEffortAddress {
    std::array<uint8_t, 4> octets{};

    std::string text() const;  // dotted decimal
    bool operator==(const BestEffortAddress& o) const { return octets == o.octets; }
    bool operator!=(const BestEffortAddress& o) const { return !(*this == o); }
};

// One registered execution, as the registry lists it (906).
struct Execution {
    std::string name;
    Reference ref;
};

// One joined federate, as the executive lists it (508): the list carries
// no handles, only names and references, in handle order.
struct FederateEntry {
    std::string name;
    Reference ref;
};

// One joined federate with its handle (Executive::federates()).
struct Federate {
    uint16_t handle = 0;
    std::string name;
    Reference ref;
};

// One entry of the registry's execution table (960).
struct TableEntry {
    enum class State : uint32_t {
        Reserved = 2,    // reserved, not registered yet; the reference is empty
        Registered = 3,  // registered, its executive's connection up
        Lost = 4,        // registered, but the registering connection was lost
    };
    State state = State::Reserved;
    std::string name;
    Reference ref;
    // Lost entries: the seconds left before the registry frees the name
    // (unless its executive registers again). 0 for the other states, and
    // for every entry of a table without grace figures (see `extended`).
    uint32_t graceSeconds = 0;
};

struct ExecutionTable {
    std::vector<TableEntry> entries;  // in the registry's slot order
    // True when the registry answered with the extended table (states and
    // grace of lost entries). A registry that predates it shows a lost
    // entry as registered and gives no grace figures.
    bool extended = false;
};

// One framed message: its type and payload.
struct Message {
    uint32_t type = 0;
    Bytes payload;
};

// An offer of attributes that lost their owner (518).
struct AdoptOffer {
    uint32_t objectId = 0;
    uint16_t tag = 0;
    std::vector<uint32_t> attributes;
};

}  // namespace rticlient
