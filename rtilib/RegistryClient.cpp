#include "RegistryClient.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "Coding.h"
#include "MsgType.h"
#include "RTIexceptions.h"

namespace {

std::string prefix(const char* op) { return std::string("RegistryClient::") + op + ": "; }

// Every hook of the voice that reports a failure throws. Should an override
// return instead, the exchange must still not go on as if nothing happened.
[[noreturn]] void voiceReturned() { std::abort(); }

std::vector<char> encodeName(const std::string& name) {
    RTIP::EncodeBuffer out;
    out.putString(name);
    return out.bytes();
}

}  // namespace

// --- The client's own texts --------------------------------------------------

void RegistryClient::Voice::connectFailed(const std::string& host, uint16_t port, int err) const {
    std::ostringstream why;
    why << prefix("connect") << "cannot connect to " << host << ':' << port << ": "
        << (err == ETIME ? "timed out" : std::strerror(err));
    throw RTI::RTIinternalError(kSerialConnect, why.str());
}

void RegistryClient::Voice::notConnected(const char* op) const {
    throw RTI::RTIinternalError(kSerialNotConnected, prefix(op) + "not connected to the registry");
}

void RegistryClient::Voice::sendFailed(const char* op, ssize_t sent, int err) const {
    std::ostringstream why;
    why << prefix(op) << "send returned " << sent;
    if (sent < 0) why << " (" << std::strerror(err) << ')';
    throw RTI::RTIinternalError(kSerialSend, why.str());
}

void RegistryClient::Voice::noReply(const char* op, const Cut& cut) const {
    std::ostringstream why;
    why << prefix(op);
    switch (cut.how) {
        case FramedChannel::Read::Timeout:
            why << "no reply within " << cut.timeoutMs << " ms";
            throw RTI::RTIinternalError(kSerialTimeout, why.str());
        case FramedChannel::Read::TooLarge:
            why << "reply announces " << cut.length << " bytes";
            break;
        case FramedChannel::Read::WaitFailed:
            why << "wait failed: " << std::strerror(cut.error);
            break;
        case FramedChannel::Read::Broken:
            why << "connection broken: " << std::strerror(cut.error);
            break;
        case FramedChannel::Read::Closed:
        case FramedChannel::Read::Frame:
            why << "connection closed by the registry";
            break;
    }
    throw RTI::RTIinternalError(kSerialConnectionLost, why.str());
}

void RegistryClient::Voice::failureAnswer(const char* op, const Reply& reply) const {
    RTI::Exception failure(0, "");
    try {
        failure =
            RTItransportationManager::decodeException(reply.payload.data(), reply.payload.size());
    } catch (const RTIP::MalformedMessage& e) {
        std::ostringstream why;
        why << prefix(op) << "undecodable failure answer " << reply.type << ": " << e.what();
        throw RTI::RTIinternalError(kSerialBadReply, why.str());
    }
    RTI::throwAsNamedClass(failure);
}

void RegistryClient::Voice::unexpectedReply(const char* op, const Reply& reply,
                                            uint32_t expected) const {
    std::ostringstream why;
    if (reply.type == msgUnknownRequest) {
        why << prefix(op) << "the registry does not know this request (reply 1008)";
        throw RTI::RTIinternalError(kSerialUnknownRequest, why.str());
    }
    why << prefix(op) << "unexpected reply type " << reply.type << " (expected " << expected << ')';
    throw RTI::RTIinternalError(kSerialBadReply, why.str());
}

void RegistryClient::Voice::undecodable(const char* op, const Reply&, const char* what,
                                        const char* why) const {
    throw RTI::RTIinternalError(kSerialBadReply, prefix(op) + "bad " + what + ": " + why);
}

void RegistryClient::Voice::replyHeader(const char*, uint32_t, uint32_t) const {}

// --- Connection ----------------------------------------------------------------

RegistryClient::RegistryClient(const std::string& host, uint16_t port, unsigned connectTimeoutMs)
    : voice_(std::make_unique<const Voice>()) {
    ACE_INET_Addr addr;
    if (!FramedChannel::address(host, port, addr)) {
        throw RTI::RTIinternalError(kSerialConnect,
                                    prefix("connect") + "cannot resolve host " + host);
    }
    connect(addr, host == "localhost" ? std::string("127.0.0.1") : host, port, connectTimeoutMs);
}

RegistryClient::RegistryClient(const ACE_INET_Addr& address, unsigned connectTimeoutMs,
                               std::unique_ptr<const Voice> voice)
    : voice_(voice ? std::move(voice) : std::make_unique<const Voice>()) {
    connect(address, address.get_host_addr(), address.get_port_number(), connectTimeoutMs);
}

void RegistryClient::connect(const ACE_INET_Addr& address, const std::string& host, uint16_t port,
                             unsigned connectTimeoutMs) {
    const int err = channel_.connect(address, std::chrono::milliseconds(connectTimeoutMs));
    if (err != 0) voice_->connectFailed(host, port, err);
    // A registry that stops reading must not hold a sender forever.
    channel_.stream().setSendTimeout(connectTimeoutMs);
    connected_ = true;
}

RegistryClient::~RegistryClient() { close(); }

void RegistryClient::close() {
    channel_.close();
    connected_ = false;
}

// --- One exchange ----------------------------------------------------------------

void RegistryClient::sendOrThrow(const char* op, uint32_t type, const std::vector<char>& payload) {
    if (!connected_) voice_->notConnected(op);
    const ssize_t sent =
        channel_.send(type, payload.empty() ? nullptr : payload.data(), payload.size());
    if (sent != static_cast<ssize_t>(payload.size()) + static_cast<ssize_t>(kHeaderSize)) {
        const int err = errno;
        // A partly written message leaves the stream unusable; one that
        // wrote nothing leaves it as it was.
        if (sent > 0) close();
        voice_->sendFailed(op, sent, err);
    }
}

bool RegistryClient::awaitReply(const char* op, Reply& reply, unsigned timeoutMs, Cut& cut) {
    cut = Cut{};
    cut.timeoutMs = timeoutMs;
    const auto deadline = FramedChannel::Clock::now() + std::chrono::milliseconds(timeoutMs);
    cut.how = channel_.read(reply, deadline);
    if (cut.how == FramedChannel::Read::Frame) {
        voice_->replyHeader(op, reply.type, static_cast<uint32_t>(reply.payload.size()));
        return true;
    }
    cut.error = channel_.error();
    cut.received = channel_.pendingBytes();
    if (cut.received >= kHeaderSize) {
        cut.type = channel_.pendingType();
        cut.length = channel_.pendingLength();
        voice_->replyHeader(op, cut.type, cut.length);
    }
    if (cut.how != FramedChannel::Read::Timeout) close();
    return false;
}

bool RegistryClient::receive(Reply& reply, unsigned timeoutMs) {
    if (!connected_) voice_->notConnected("receive");
    Cut cut;
    if (awaitReply("receive", reply, timeoutMs, cut)) return true;
    if (cut.how == FramedChannel::Read::Timeout) return false;
    voice_->noReply("receive", cut);
    voiceReturned();
}

RegistryClient::Reply RegistryClient::awaitOrThrow(const char* op) {
    Reply reply;
    Cut cut;
    if (awaitReply(op, reply, replyTimeoutMs_, cut)) return reply;
    // Closed on a timeout too: a late reply must not answer a later request.
    close();
    voice_->noReply(op, cut);
    voiceReturned();
}

RegistryClient::Reply RegistryClient::request(uint32_t type, const std::vector<char>& payload) {
    sendOrThrow("request", type, payload);
    return awaitOrThrow("request");
}

void RegistryClient::send(uint32_t type, const std::vector<char>& payload) {
    sendOrThrow("send", type, payload);
}

RegistryClient::Reply RegistryClient::expectReply(const char* op, uint32_t expected) {
    Reply reply = awaitOrThrow(op);
    if (reply.type == expected) return reply;
    if (reply.type >= msgException && reply.type < msgUnknownRequest) {
        voice_->failureAnswer(op, reply);
    }
    voice_->unexpectedReply(op, reply, expected);
    voiceReturned();
}

template <class Decode>
auto RegistryClient::decodeReply(const char* op, const Reply& reply, const char* what,
                                 Decode decode) -> decltype(decode()) {
    try {
        return decode();
    } catch (const RTIP::MalformedMessage& e) {
        voice_->undecodable(op, reply, what, e.what());
        voiceReturned();
    }
}

// --- Typed operations ------------------------------------------------------------

void RegistryClient::reserve(const std::string& name) {
    sendOrThrow("reserve", msgReserveFederationExecution, encodeName(name));
    expectReply("reserve", msgReserveFederationExecutionReply);
}

RTIP::BestEffortAddress RegistryClient::registerExecution(const std::string& name,
                                                          const RTIP::Reference& ref) {
    RTIP::EncodeBuffer out;
    out.putString(name);
    ref.encode(out);
    return registerEncoded(out.bytes());
}

RTIP::BestEffortAddress RegistryClient::registerExecution(
    const std::string& name, const RTIP::Reference& ref,
    const RTIP::BestEffortAddress& remembered) {
    RTIP::EncodeBuffer out;
    out.putString(name);
    ref.encode(out);
    std::vector<char> payload = out.bytes();
    char octets[4];
    remembered.encode(octets);
    payload.insert(payload.end(), octets, octets + sizeof octets);
    return registerEncoded(payload);
}

RTIP::BestEffortAddress RegistryClient::registerEncoded(const std::vector<char>& payload) {
    sendOrThrow("registerExecution", msgRegisterFederationExecution, payload);
    const Reply reply = expectReply("registerExecution", msgRegisterFederationExecutionReply);
    return decodeReply("registerExecution", reply, "address", [&] {
        return RTIP::BestEffortAddress::decode(reply.payload.data(), reply.payload.size());
    });
}

RTIP::Reference RegistryClient::lookup(const std::string& name) {
    sendOrThrow("lookup", msgGetMorvaByName, encodeName(name));
    const Reply reply = expectReply("lookup", msgGetMorvaByNameReply);
    return decodeReply("lookup", reply, "reference", [&] {
        return RTIP::Reference::decode(reply.payload.data(), reply.payload.size());
    });
}

RTIP::FederationExecutionList RegistryClient::list() {
    sendOrThrow("list", msgGetAllFederationExecutions, {});
    const Reply reply = expectReply("list", msgGetAllFederationExecutionsReply);
    return decodeReply("list", reply, "list", [&] {
        return RTIP::FederationExecutionList::decode(reply.payload.data(), reply.payload.size());
    });
}

RTIP::ExecutionTable RegistryClient::executionTable() {
    sendOrThrow("executionTable", msgGetExecutionTable, {});
    const Reply reply = expectReply("executionTable", msgGetExecutionTableReply);
    return decodeReply("executionTable", reply, "table", [&] {
        RTIP::DecodeCursor in(reply.payload.data(), reply.payload.size());
        return RTIP::decodeExecutionTable(in);
    });
}

void RegistryClient::obituary(const std::string& name) {
    sendOrThrow("obituary", msgMorvaObituary, encodeName(name));
}
