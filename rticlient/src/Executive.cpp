#include "rticlient/Executive.h"

#include <cerrno>
#include <cstring>

#include "Connection.h"
#include "rticlient/Codec.h"

namespace rticlient {

namespace {

const char* const kComponent = "Executive";

bool isFailureAnswer(uint32_t type) {
    return type == msg::kException || type == msg::kFederateNotExecutionMember ||
           type == msg::kFederatesCurrentlyJoined;
}

Bytes handleOnly(uint16_t handle) { return Encoder().putUShort(handle).take(); }

// Runs `decode` on the answer of type `type`, turning a malformed payload
// into the one error of this layer.
template <class Decode>
auto decodeAnswer(const char* op, uint32_t type, Decode decode) -> decltype(decode()) {
    try {
        return decode();
    } catch (const DecodeError& e) {
        throw ProtocolError(kComponent, op,
                            "answer " + std::to_string(type) + " does not decode: " + e.what(),
                            type);
    }
}

}  // namespace

Executive::Executive() = default;

Executive::Executive(const std::string& host, uint16_t port, std::chrono::milliseconds timeout)
    : timeout_(timeout) {
    connect(host, port);
}

Executive Executive::lookup(Registry& registry, const std::string& name,
                            std::chrono::milliseconds timeout) {
    const Reference ref = registry.lookup(name);
    return Executive(ref.host, ref.port, timeout);
}

Executive::~Executive() = default;
Executive::Executive(Executive&&) noexcept = default;
Executive& Executive::operator=(Executive&&) noexcept = default;

void Executive::connect(const std::string& host, uint16_t port) {
    close();
    incoming_.clear();
    handle_ = 0;
    Connection::ConnectFailure failure;
    conn_ = Connection::open(host, port, timeout_, failure);
    if (conn_) return;
    if (failure.cause == ConnectError::Cause::Unresolvable) {
        throw ConnectError(kComponent, "cannot resolve host " + host, failure.cause, 0, host, port);
    }
    // The timer's own text for a connection attempt that ran out of time.
    const int shown = failure.cause == ConnectError::Cause::TimedOut ? ETIME : failure.error;
    throw ConnectError(
        kComponent,
        "cannot connect to " + host + ":" + std::to_string(port) + ": " + std::strerror(shown),
        failure.cause, failure.error, host, port);
}

void Executive::setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
bool Executive::connected() const { return conn_ != nullptr; }
void Executive::close() { conn_.reset(); }
int Executive::fd() const { return conn_ ? conn_->fd() : -1; }

void Executive::sendOrThrow(const char* op, uint32_t type, const void* data, size_t size) {
    if (!conn_) throw NotConnected(kComponent, op, "not connected");
    if (size > kMaxPayload) throw std::length_error("payload larger than 16 MiB");
    const size_t sent = conn_->send(type, data, size, Connection::Clock::now() + timeout_);
    if (sent == kHeaderSize + size) return;
    const int err = conn_->error();
    close();
    throw ConnectionLost(
        kComponent, op,
        "send of message " + std::to_string(type) + " failed: " + std::strerror(err), true, err);
}

bool Executive::readFrame(const char* op, Message& out,
                          std::chrono::steady_clock::time_point deadline, uint32_t answering) {
    if (!conn_) throw NotConnected(kComponent, op, "not connected");
    const auto how = conn_->read(out, deadline);
    if (how == Connection::Read::Frame) return true;
    if (how == Connection::Read::Timeout) return false;
    const int err = conn_->error();
    const uint32_t announced = conn_->announcedLength();
    close();
    switch (how) {
        case Connection::Read::TooLarge:
            throw ProtocolError(
                kComponent, op,
                "executive announced a payload of " + std::to_string(announced) + " bytes");
        case Connection::Read::WaitFailed:
            throw ConnectionLost(kComponent, op, std::string("poll failed: ") + std::strerror(err),
                                 false, err);
        default:
            // A reset counts as closed by the executive, as an orderly end does.
            throw ConnectionLost(kComponent, op,
                                 answering ? "executive closed the connection before answering " +
                                                 std::to_string(answering)
                                           : std::string("the executive closed the connection"),
                                 false, how == Connection::Read::Broken ? err : 0);
    }
}

Bytes Executive::request(const char* op, uint32_t type, const Bytes& payload, uint32_t answerType) {
    sendOrThrow(op, type, payload.data(), payload.size());
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    Message m;
    for (;;) {
        if (!readFrame(op, m, deadline, type)) {
            close();
            throw Timeout(kComponent, op,
                          "no answer to " + std::to_string(type) + " within " +
                              std::to_string(timeout_.count()) + " ms",
                          type, static_cast<unsigned>(timeout_.count()));
        }
        if (m.type == answerType) return std::move(m.payload);
        if (isFailureAnswer(m.type)) {
            EncodedFailure f;
            try {
                f = decodeFailure(m.payload);
            } catch (const DecodeError& e) {
                close();
                throw ProtocolError(
                    kComponent, op,
                    "failure answer " + std::to_string(m.type) + " does not decode: " + e.what(),
                    m.type);
            }
            throwFailure(m.type, f.serial, std::move(f.reason), std::move(f.className));
        }
        incoming_.push_back(std::move(m));
    }
}

uint16_t Executive::join(const std::string& federateName) {
    const Bytes answer =
        request("join", msg::kJoin, Encoder().putString(federateName).take(), msg::kJoinReply);
    const uint16_t h =
        decodeAnswer("join", msg::kJoinReply, [&] { return Decoder(answer).getUShort(); });
    if (h != 0) handle_ = h;
    return h;
}

void Executive::resign() { resign(handle_); }

void Executive::resign(uint16_t handle) {
    request("resign", msg::kResign, handleOnly(handle), msg::kResignReply);
    if (handle == handle_) handle_ = 0;
}

BestEffortAddress Executive::bestEffortAddress() {
    const Bytes answer = request("bestEffortAddress", msg::kGetBestEffortAddress, {},
                                 msg::kGetBestEffortAddressReply);
    return decodeAnswer("bestEffortAddress", msg::kGetBestEffortAddressReply,
                        [&] { return Decoder(answer).getAddress(); });
}

uint32_t Executive::allocateNumber() {
    const Bytes answer =
        request("allocateNumber", msg::kAllocateNumber, {}, msg::kAllocateNumberReply);
    return decodeAnswer("allocateNumber", msg::kAllocateNumberReply,
                        [&] { return Decoder(answer).getULong(); });
}

std::vector<FederateEntry> Executive::federateList() {
    const Bytes answer =
        request("federateList", msg::kGetFederateList, {}, msg::kGetFederateListReply);
    return decodeAnswer("federateList", msg::kGetFederateListReply,
                        [&] { return Decoder(answer).getEntryList(); });
}

std::vector<uint16_t> Executive::federateVector() {
    const Bytes answer =
        request("federateVector", msg::kGetFederateVector, {}, msg::kGetFederateVectorReply);
    return decodeAnswer("federateVector", msg::kGetFederateVectorReply,
                        [&] { return Decoder(answer).getFederateVector(); });
}

std::vector<Federate> Executive::federates() {
    // The list carries no handles; the vector names them in the same order.
    // Federates may come and go between the two answers, so the list counts
    // only when the vector is the same before and after it.
    std::vector<uint16_t> before = federateVector();
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::vector<FederateEntry> list = federateList();
        std::vector<uint16_t> after = federateVector();
        if (after == before && list.size() == after.size()) {
            std::vector<Federate> out;
            for (size_t i = 0; i < list.size(); ++i) {
                out.push_back(Federate{after[i], std::move(list[i].name), std::move(list[i].ref)});
            }
            return out;
        }
        before = std::move(after);
    }
    throw ProtocolError(kComponent, "federates", "the federates kept changing while listed");
}

Reference Executive::federateReference(uint16_t handle) {
    const Bytes answer = request("federateReference", msg::kGetFederateReference,
                                 handleOnly(handle), msg::kGetFederateReferenceReply);
    return decodeAnswer("federateReference", msg::kGetFederateReferenceReply,
                        [&] { return Decoder(answer).getReference(); });
}

void Executive::destroy() { request("destroy", msg::kDestroy, {}, msg::kDestroyReply); }

void Executive::disconnect(uint16_t handle) {
    const Bytes payload = handleOnly(handle);
    sendOrThrow("disconnect", msg::kDisconnect, payload.data(), payload.size());
}

void Executive::orphanedAttributes(uint16_t formerOwner, uint32_t objectId, uint16_t tag,
                                   const std::vector<uint32_t>& attributes) {
    Encoder out;
    out.putUShort(formerOwner).putULong(objectId).putUShort(tag).putAttributeSet(attributes);
    sendOrThrow("orphanedAttributes", msg::kOrphanedAttributes, out.bytes().data(),
                out.bytes().size());
}

void Executive::rollCallStart(const Bytes& payload) {
    sendOrThrow("rollCallStart", msg::kRollCallStart, payload.data(), payload.size());
}

void Executive::rosterBroadcast(const Bytes& payload) {
    sendOrThrow("rosterBroadcast", msg::kRosterBroadcast, payload.data(), payload.size());
}

void Executive::rollCallAnswer(const Bytes& payload) {
    sendOrThrow("rollCallAnswer", msg::kRollCallAnswer, payload.data(), payload.size());
}

void Executive::send(uint32_t type, const Bytes& payload) {
    sendOrThrow("send", type, payload.data(), payload.size());
}

void Executive::send(uint32_t type, const void* data, size_t size) {
    sendOrThrow("send", type, data, size);
}

std::optional<Message> Executive::receive(std::chrono::milliseconds timeout) {
    return receive(std::chrono::steady_clock::now() + timeout);
}

std::optional<Message> Executive::receive(std::chrono::steady_clock::time_point deadline) {
    if (!incoming_.empty()) {
        Message m = std::move(incoming_.front());
        incoming_.pop_front();
        return m;
    }
    Message m;
    if (readFrame("receive", m, deadline)) return m;
    return std::nullopt;
}

bool Executive::waitForClose(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Message m;
    try {
        while (readFrame("waitForClose", m, deadline)) incoming_.push_back(std::move(m));
    } catch (const ConnectionLost&) {
        return true;
    }
    return false;
}

uint16_t Executive::decodeFederateLeft(const Message& m) {
    return rticlient::decodeFederateLeft(m.payload);
}

AdoptOffer Executive::decodeAdoptOffer(const Message& m) {
    return rticlient::decodeAdoptOffer(m.payload);
}

std::vector<uint16_t> Executive::trailingVector(const Message& m, size_t* bodySize) {
    return decodeTrailingVector(m.payload, bodySize);
}

}  // namespace rticlient
