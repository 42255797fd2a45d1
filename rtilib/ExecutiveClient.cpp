#include "ExecutiveClient.h"

#include <cerrno>
#include <cstring>

#include "RTIexceptions.h"

namespace RTIP {

namespace {

bool isFailureAnswer(uint32_t type) {
    return type == msgException || type == msgFederateNotExecutionMember ||
           type == msgFederatesCurrentlyJoined;
}

std::vector<char> encoded(const EncodeBuffer& buf) {
    return std::vector<char>(buf.data(), buf.data() + buf.size());
}

std::vector<char> handlePayload(uint16_t handle) {
    EncodeBuffer buf(4);
    buf.putUShort(handle);
    return encoded(buf);
}

}  // namespace

ExecutiveClient::~ExecutiveClient() { close(); }

void ExecutiveClient::fail(const char* op, uint32_t serial, const std::string& why) {
    throw RTI::RTIinternalError(serial, std::string("ExecutiveClient::") + op + ": " + why);
}

void ExecutiveClient::requireConnected(const char* op) const {
    if (!connected_) {
        throw RTI::RTIinternalError(kSerialNotConnected,
                                    std::string("ExecutiveClient::") + op + ": not connected");
    }
}

void ExecutiveClient::close() {
    channel_.close();
    connected_ = false;
}

void ExecutiveClient::connect(const std::string& host, uint16_t port) {
    close();
    incoming_.clear();
    peerClosed_ = false;

    ACE_INET_Addr addr;
    if (!FramedChannel::address(host, port, addr)) {
        fail("connect", kSerialConnect, "cannot resolve host " + host);
    }
    if (const int err = channel_.connect(addr, timeout_)) {
        fail("connect", kSerialConnect,
             "cannot connect to " + host + ":" + std::to_string(port) + ": " + std::strerror(err));
    }
    // Sends are bounded too, so an executive that stops reading cannot hang us.
    channel_.stream().setSendTimeout(static_cast<unsigned>(timeout_.count()));
    connected_ = true;
}

void ExecutiveClient::sendOrThrow(const char* op, uint32_t type, const void* data, size_t length) {
    requireConnected(op);
    ssize_t sent = channel_.send(type, data, length);
    if (sent != static_cast<ssize_t>(length + kHeaderSize)) {
        int err = errno;
        fail(op, kSerialSend,
             "send of message " + std::to_string(type) + " failed: " + std::strerror(err));
    }
}

bool ExecutiveClient::readFrame(const char* op, Message& out, Clock::time_point deadline) {
    for (;;) {
        switch (channel_.read(out, deadline)) {
            case FramedChannel::Read::Frame:
                return true;
            case FramedChannel::Read::Timeout:
                return false;
            case FramedChannel::Read::TooLarge: {
                const uint32_t announced = channel_.pendingLength();
                close();
                fail(op, kSerialBadAnswer,
                     "executive announced a payload of " + std::to_string(announced) + " bytes");
            }
            case FramedChannel::Read::WaitFailed:
                fail(op, kSerialConnectionLost,
                     std::string("poll failed: ") + std::strerror(channel_.error()));
            case FramedChannel::Read::Closed:
            case FramedChannel::Read::Broken:
                if (!connected_) return false;
                // A reset connection counts as closed by the executive. Whole
                // frames already received are still delivered by the next read.
                peerClosed_ = true;
                close();
                break;
        }
    }
}

std::vector<char> ExecutiveClient::request(const char* op, uint32_t type,
                                           const std::vector<char>& payload, uint32_t answerType) {
    sendOrThrow(op, type, payload.data(), payload.size());
    const auto deadline = Clock::now() + timeout_;
    Message m;
    for (;;) {
        if (!readFrame(op, m, deadline)) {
            if (peerClosed_) {
                fail(op, kSerialConnectionLost,
                     "executive closed the connection before answering " + std::to_string(type));
            }
            fail(op, kSerialTimeout,
                 "no answer to " + std::to_string(type) + " within " +
                     std::to_string(timeout_.count()) + " ms");
        }
        if (m.type == answerType) return std::move(m.payload);
        if (isFailureAnswer(m.type)) {
            RTI::Exception e(0, "");
            try {
                e = RTItransportationManager::decodeException(m.payload.data(), m.payload.size());
            } catch (const MalformedMessage& bad) {
                fail(
                    op, kSerialBadAnswer,
                    "failure answer " + std::to_string(m.type) + " does not decode: " + bad.what());
            }
            RTI::throwAsNamedClass(e);
        }
        incoming_.push_back(std::move(m));
    }
}

// Runs `decode` on an answer, turning a malformed payload into the client's
// own failure so that callers see one error channel.
template <class Fn>
static auto decodeAnswer(const char* op, uint32_t type, Fn decode) -> decltype(decode()) {
    try {
        return decode();
    } catch (const MalformedMessage& bad) {
        throw RTI::RTIinternalError(ExecutiveClient::kSerialBadAnswer,
                                    std::string("ExecutiveClient::") + op + ": answer " +
                                        std::to_string(type) + " does not decode: " + bad.what());
    }
}

uint16_t ExecutiveClient::join(const std::string& federateName) {
    EncodeBuffer buf;
    buf.putString(federateName);
    auto answer =
        request("join", msgJoinFederationExecution, encoded(buf), msgJoinFederationExecutionReply);
    return decodeAnswer("join", msgJoinFederationExecutionReply, [&] {
        DecodeCursor in(answer.data(), answer.size());
        return in.getUShort();
    });
}

void ExecutiveClient::resign(uint16_t handle) {
    request("resign", msgResignFederationExecution, handlePayload(handle),
            msgResignFederationExecutionReply);
}

BestEffortAddress ExecutiveClient::bestEffortAddress() {
    auto answer =
        request("bestEffortAddress", msgGetBestEffortAddress, {}, msgGetBestEffortAddressReply);
    return decodeAnswer("bestEffortAddress", msgGetBestEffortAddressReply,
                        [&] { return BestEffortAddress::decode(answer.data(), answer.size()); });
}

uint32_t ExecutiveClient::allocateNumber() {
    auto answer = request("allocateNumber", msgAllocateNumber, {}, msgAllocateNumberReply);
    return decodeAnswer("allocateNumber", msgAllocateNumberReply, [&] {
        DecodeCursor in(answer.data(), answer.size());
        return in.getULong();
    });
}

FederateList ExecutiveClient::federateList() {
    auto answer = request("federateList", msgGetFederateList, {}, msgGetFederateListReply);
    return decodeAnswer("federateList", msgGetFederateListReply,
                        [&] { return FederateList::decode(answer.data(), answer.size()); });
}

FederateVector ExecutiveClient::federateVector() {
    auto answer = request("federateVector", msgGetFederateVector, {}, msgGetFederateVectorReply);
    return decodeAnswer("federateVector", msgGetFederateVectorReply,
                        [&] { return FederateVector::decode(answer.data(), answer.size()); });
}

Reference ExecutiveClient::federateReference(uint16_t handle) {
    auto answer = request("federateReference", msgGetFederateReference, handlePayload(handle),
                          msgGetFederateReferenceReply);
    return decodeAnswer("federateReference", msgGetFederateReferenceReply,
                        [&] { return Reference::decode(answer.data(), answer.size()); });
}

void ExecutiveClient::destroy() {
    request("destroy", msgDestroyFederationExecution, {}, msgDestroyFederationExecutionReply);
}

void ExecutiveClient::disconnect(uint16_t handle) {
    auto payload = handlePayload(handle);
    sendOrThrow("disconnect", msgDisconnectFederate, payload.data(), payload.size());
}

void ExecutiveClient::orphanedAttributes(uint16_t formerOwner, uint32_t objectId, uint16_t tag,
                                         const RTI::AttributeHandleSet& attributes) {
    EncodeBuffer buf(12 + attributes.encodedLength());
    buf.putUShort(formerOwner);
    buf.putULong(objectId);
    buf.putUShort(tag);
    std::vector<char> set(attributes.encodedLength());
    attributes.encode(set.data());
    buf.putBytes(set.data(), set.size());
    sendOrThrow("orphanedAttributes", msgOrphanedAttributes, buf.data(), buf.size());
}

void ExecutiveClient::rollCallStart(const std::vector<char>& payload) {
    sendOrThrow("rollCallStart", msgRollCallStart, payload.data(), payload.size());
}

void ExecutiveClient::rosterBroadcast(const std::vector<char>& payload) {
    sendOrThrow("rosterBroadcast", msgRosterBroadcast, payload.data(), payload.size());
}

void ExecutiveClient::rollCallAnswer(const std::vector<char>& payload) {
    sendOrThrow("rollCallAnswer", msgRollCallAnswer, payload.data(), payload.size());
}

void ExecutiveClient::send(uint32_t type, const std::vector<char>& payload) {
    sendOrThrow("send", type, payload.data(), payload.size());
}

void ExecutiveClient::send(uint32_t type, const void* data, size_t length) {
    sendOrThrow("send", type, data, length);
}

std::optional<ExecutiveClient::Message> ExecutiveClient::receive(
    std::chrono::milliseconds timeout) {
    if (!incoming_.empty()) {
        Message m = std::move(incoming_.front());
        incoming_.pop_front();
        return m;
    }
    Message m;
    if (readFrame("receive", m, Clock::now() + timeout)) return m;
    return std::nullopt;
}

bool ExecutiveClient::waitForClose(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    Message m;
    while (readFrame("waitForClose", m, deadline)) incoming_.push_back(std::move(m));
    return peerClosed_;
}

uint16_t ExecutiveClient::decodeFederateLeft(const Message& m) {
    DecodeCursor in(m.payload.data(), m.payload.size());
    return in.getUShort();
}

ExecutiveClient::AdoptOffer ExecutiveClient::decodeAdoptOffer(const Message& m) {
    DecodeCursor in(m.payload.data(), m.payload.size());
    AdoptOffer offer;
    offer.objectId = in.getULong();
    offer.tag = in.getUShort();
    offer.attributes = RTI::AttributeHandleSet::decode(in);
    return offer;
}

FederateVector ExecutiveClient::trailingVector(const Message& m, size_t* bodyLength) {
    const size_t vecLen = FederateVector::encodedLength();
    if (m.payload.size() < vecLen) {
        throw MalformedMessage("message too short for a federate vector");
    }
    const size_t body = m.payload.size() - vecLen;
    if (bodyLength) *bodyLength = body;
    return FederateVector::decode(m.payload.data() + body, vecLen);
}

}  // namespace RTIP
