#include "RegistryClient.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>

#include <ace/ACE.h>
#include <ace/INET_Addr.h>
#include <ace/SOCK_Connector.h>
#include <ace/Time_Value.h>

#include "Coding.h"
#include "MsgType.h"
#include "RTIexceptions.h"

namespace {

ACE_Time_Value fromMilliseconds(long long ms) {
    if (ms < 0) ms = 0;
    return ACE_Time_Value(static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000));
}

std::string prefix(const char* op) { return std::string("RegistryClient::") + op + ": "; }

std::vector<char> encodeName(const std::string& name) {
    RTIP::EncodeBuffer out;
    out.putString(name);
    return out.bytes();
}

}  // namespace

RegistryClient::RegistryClient(const std::string& host, uint16_t port, unsigned connectTimeoutMs) {
    // "localhost" may resolve to an IPv6-mapped address; the registry listens on IPv4.
    const std::string target = host == "localhost" ? std::string("127.0.0.1") : host;
    ACE_INET_Addr addr;
    if (addr.set(port, target.c_str(), 1, AF_INET) != 0) {
        throw RTI::RTIinternalError(kSerialConnect, prefix("connect") + "cannot resolve host " + host);
    }
    ACE_SOCK_Connector connector;
    ACE_Time_Value timeout = fromMilliseconds(connectTimeoutMs);
    if (connector.connect(stream_, addr, &timeout) != 0) {
        const int err = errno;
        std::ostringstream why;
        why << prefix("connect") << "cannot connect to " << target << ':' << port << ": "
            << (err == ETIME ? "timed out" : std::strerror(err));
        throw RTI::RTIinternalError(kSerialConnect, why.str());
    }
    // A registry that stops reading must not hold a sender forever.
    stream_.setSendTimeout(connectTimeoutMs);
    connected_ = true;
}

RegistryClient::~RegistryClient() { close(); }

void RegistryClient::close() {
    if (stream_.get_handle() != ACE_INVALID_HANDLE) stream_.close();
    connected_ = false;
    reader_.reset();
}

void RegistryClient::requireConnected(const char* op) const {
    if (!connected_) {
        throw RTI::RTIinternalError(kSerialNotConnected, prefix(op) + "not connected to the registry");
    }
}

void RegistryClient::lost(const char* op, const std::string& why) {
    close();
    throw RTI::RTIinternalError(kSerialConnectionLost, prefix(op) + why);
}

void RegistryClient::sendOrThrow(const char* op, uint32_t type, const std::vector<char>& payload) {
    requireConnected(op);
    const uint32_t length = static_cast<uint32_t>(payload.size());
    const ssize_t sent = stream_.sendMsg(type, length, payload.empty() ? nullptr : payload.data());
    if (sent != static_cast<ssize_t>(length) + static_cast<ssize_t>(kHeaderSize)) {
        const int err = errno;
        // A partly written message leaves the stream unusable.
        close();
        std::ostringstream why;
        why << prefix(op) << "send returned " << sent;
        if (sent < 0) why << " (" << std::strerror(err) << ')';
        throw RTI::RTIinternalError(kSerialSend, why.str());
    }
}

bool RegistryClient::receive(Reply& reply, unsigned timeoutMs) {
    requireConnected("receive");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        switch (reader_.next()) {
            case FrameReader::Result::Frame:
                reply.type = reader_.type();
                reply.payload.assign(reader_.payload(), reader_.payload() + reader_.length());
                return true;
            case FrameReader::Result::TooLarge: {
                std::ostringstream why;
                why << "reply announces " << reader_.announcedLength() << " bytes";
                lost("receive", why.str());
            }
            case FrameReader::Result::NeedMore:
                break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        ACE_Time_Value tv = fromMilliseconds(left.count());
        const int ready = ACE::handle_read_ready(stream_.get_handle(), &tv);
        if (ready == 0 || (ready < 0 && (errno == ETIME || errno == EINTR))) continue;
        if (ready < 0) lost("receive", std::string("wait failed: ") + std::strerror(errno));
        const ssize_t n = reader_.fill(stream_.get_handle());
        if (n == 0) lost("receive", "connection closed by the registry");
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            lost("receive", std::string("connection broken: ") + std::strerror(errno));
        }
    }
}

RegistryClient::Reply RegistryClient::awaitOrThrow(const char* op) {
    Reply reply;
    bool got = false;
    try {
        got = receive(reply, replyTimeoutMs_);
    } catch (const RTI::RTIinternalError& e) {
        // Name the operation that was waiting rather than "receive".
        throw RTI::RTIinternalError(e.serial(), prefix(op) + e.reason().substr(prefix("receive").size()));
    }
    if (!got) {
        close();
        std::ostringstream why;
        why << prefix(op) << "no reply within " << replyTimeoutMs_ << " ms";
        throw RTI::RTIinternalError(kSerialTimeout, why.str());
    }
    return reply;
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
        RTI::Exception failure(0, "");
        try {
            failure = RTItransportationManager::decodeException(reply.payload.data(), reply.payload.size());
        } catch (const RTIP::MalformedMessage& e) {
            std::ostringstream why;
            why << prefix(op) << "undecodable failure answer " << reply.type << ": " << e.what();
            throw RTI::RTIinternalError(kSerialBadReply, why.str());
        }
        RTI::throwAsNamedClass(failure);
    }
    std::ostringstream why;
    if (reply.type == msgUnknownRequest) {
        why << prefix(op) << "the registry does not know this request (reply 1008)";
        throw RTI::RTIinternalError(kSerialUnknownRequest, why.str());
    }
    why << prefix(op) << "unexpected reply type " << reply.type << " (expected " << expected << ')';
    throw RTI::RTIinternalError(kSerialBadReply, why.str());
}

void RegistryClient::reserve(const std::string& name) {
    sendOrThrow("reserve", msgReserveFederationExecution, encodeName(name));
    expectReply("reserve", msgReserveFederationExecutionReply);
}

RTIP::BestEffortAddress RegistryClient::registerExecution(const std::string& name,
                                                          const RTIP::Reference& ref) {
    RTIP::EncodeBuffer out;
    out.putString(name);
    ref.encode(out);
    sendOrThrow("registerExecution", msgRegisterFederationExecution, out.bytes());
    Reply reply = expectReply("registerExecution", msgRegisterFederationExecutionReply);
    try {
        return RTIP::BestEffortAddress::decode(reply.payload.data(), reply.payload.size());
    } catch (const RTIP::MalformedMessage& e) {
        throw RTI::RTIinternalError(kSerialBadReply, prefix("registerExecution") + "bad address: " + e.what());
    }
}

RTIP::Reference RegistryClient::lookup(const std::string& name) {
    sendOrThrow("lookup", msgGetMorvaByName, encodeName(name));
    Reply reply = expectReply("lookup", msgGetMorvaByNameReply);
    try {
        return RTIP::Reference::decode(reply.payload.data(), reply.payload.size());
    } catch (const RTIP::MalformedMessage& e) {
        throw RTI::RTIinternalError(kSerialBadReply, prefix("lookup") + "bad reference: " + e.what());
    }
}

RTIP::FederationExecutionList RegistryClient::list() {
    sendOrThrow("list", msgGetAllFederationExecutions, {});
    Reply reply = expectReply("list", msgGetAllFederationExecutionsReply);
    try {
        return RTIP::FederationExecutionList::decode(reply.payload.data(), reply.payload.size());
    } catch (const RTIP::MalformedMessage& e) {
        throw RTI::RTIinternalError(kSerialBadReply, prefix("list") + "bad list: " + e.what());
    }
}

RTIP::ExecutionTable RegistryClient::executionTable() {
    sendOrThrow("executionTable", msgGetExecutionTable, {});
    Reply reply = expectReply("executionTable", msgGetExecutionTableReply);
    try {
        RTIP::DecodeCursor in(reply.payload.data(), reply.payload.size());
        return RTIP::decodeExecutionTable(in);
    } catch (const RTIP::MalformedMessage& e) {
        throw RTI::RTIinternalError(kSerialBadReply, prefix("executionTable") + "bad table: " + e.what());
    }
}

void RegistryClient::obituary(const std::string& name) {
    sendOrThrow("obituary", msgMorvaObituary, encodeName(name));
}
