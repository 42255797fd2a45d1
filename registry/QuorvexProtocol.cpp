// The registry protocol: what each request means and the one reply it gets.
// Requests are decoded with bounds checks only; a request too short for its
// fields is answered (or, for the obituary, logged) and never read past its
// end. Every reply goes back on the connection the request came from.
#include <string>

#include "Coding.h"
#include "MsgType.h"
#include "Platform.h"
#include "QuorvexCommHandler.h"
#include "RTIexceptions.h"

namespace {

// Serials of requests that could not be decoded.
constexpr uint32_t kMalformedReserveName = 12010;
constexpr uint32_t kMalformedRegisterName = 12011;
constexpr uint32_t kMalformedRegisterReference = 12012;
constexpr uint32_t kMalformedLookupName = 12013;

constexpr const char* kReserveReplyFailed = "ERR QuorvexCommHandler::reserveFederationExecution: reply returned";
constexpr const char* kRegisterReplyFailed = "ERR QuorvexCommHandler::registerFederationExecution: reply returned";
constexpr const char* kLookupReplyFailed = "ERR QuorvexCommHandler::getMorvaByName: reply returned";
constexpr const char* kListReplyFailed = "ERR QuorvexCommHandler::getAllFederationExecutions: reply returned";
constexpr const char* kTableReplyFailed = "ERR QuorvexCommHandler::getExecutionTable: reply returned";
constexpr const char* kDispatchReplyFailed = "ERR QuorvexCommHandler::dispatch: reply returned";

}  // namespace

void QuorvexCommHandler::dispatch(uint32_t type, uint32_t length, const char* payload, int conn) {
    dispatching_ = type;
    ++counters_.requests[QuorvexCounters::indexOf(type)];
    switch (type) {
        case msgReserveFederationExecution:
            reserveFederationExecution(payload, length, conn);
            break;
        case msgRegisterFederationExecution:
            registerFederationExecution(payload, length, conn);
            break;
        case msgGetMorvaByName:
            getMorvaByName(payload, length, conn);
            break;
        case msgGetAllFederationExecutions:
            getAllFederationExecutions(conn);
            break;
        case msgGetExecutionTable:
            getExecutionTable(conn);
            break;
        case msgMorvaObituary:
            receiveMorvaObituary(payload, length, conn);
            break;
        default:
            sendReply(conn, msgUnknownRequest, RTIP::EncodeBuffer(), kDispatchReplyFailed);
            break;
    }
}

bool QuorvexCommHandler::sendReply(int conn, uint32_t type, const RTIP::EncodeBuffer& payload,
                                   const char* failureLine) {
    if (type >= msgException) ++counters_.refusals[QuorvexCounters::indexOf(dispatching_)];
    RTImessageStream& stream = connections_[conn].stream;
    const uint32_t length = static_cast<uint32_t>(payload.size());
    const ssize_t sent = stream.sendMsg(type, length, length == 0 ? nullptr : payload.data());
    if (sent == static_cast<ssize_t>(length) + static_cast<ssize_t>(kHeaderSize)) return true;
    // The client is gone or stopped reading: drop it, serve the others.
    out_ << failureLine << sent << std::endl;
    closeConn(conn);
    return false;
}

void QuorvexCommHandler::refuseMalformed(int conn, uint32_t serial, const char* reason,
                                         const char* failureLine) {
    out_ << "ERR " << reason << " on " << platform::asPointer(connections_[conn].stream.get_handle())
         << std::endl;
    RTIP::EncodeBuffer reply;
    reply.putException(RTI::RTIinternalError(serial, reason));
    sendReply(conn, msgException, reply, failureLine);
}

void QuorvexCommHandler::reserveFederationExecution(const char* payload, uint32_t length, int conn) {
    std::string name;
    try {
        RTIP::DecodeCursor in(payload, length);
        name = in.getString();
    } catch (const RTIP::MalformedMessage&) {
        refuseMalformed(conn, kMalformedReserveName,
                        "QuorvexCommHandler::reserveFederationExecution: malformed name", kReserveReplyFailed);
        return;
    }
    out_ << "LOG reserveFederationExecution " << name << std::endl;

    uint32_t type = msgReserveFederationExecutionReply;
    RTIP::EncodeBuffer reply;
    try {
        table_.reserveFederationExecution(name);
    } catch (const RTI::FederationExecutionAlreadyExists& e) {
        type = msgFederationExecutionAlreadyExists;
        reply.putException(e);
    } catch (const RTIP::FederationCountExceeded& e) {
        type = msgFederationCountExceeded;
        reply.putException(e);
    } catch (const RTI::Exception& e) {
        type = msgException;
        reply.putException(e);
    }
    sendReply(conn, type, reply, kReserveReplyFailed);
}

void QuorvexCommHandler::registerFederationExecution(const char* payload, uint32_t length, int conn) {
    RTIP::DecodeCursor in(payload, length);
    std::string name;
    try {
        name = in.getString();
    } catch (const RTIP::MalformedMessage&) {
        refuseMalformed(conn, kMalformedRegisterName,
                        "QuorvexCommHandler::registerFederationExecution: malformed name", kRegisterReplyFailed);
        return;
    }
    RTIP::Reference reference;
    try {
        reference = RTIP::Reference::decode(in);
    } catch (const RTIP::MalformedMessage&) {
        refuseMalformed(conn, kMalformedRegisterReference,
                        "QuorvexCommHandler::registerFederationExecution: malformed reference",
                        kRegisterReplyFailed);
        return;
    }
    out_ << "LOG registering " << name << " with " << reference << std::endl;

    uint32_t type = msgRegisterFederationExecutionReply;
    RTIP::EncodeBuffer reply;
    try {
        const RTIP::BestEffortAddress address = table_.registerFederationExecution(name, reference);
        char bytes[RTIP::BestEffortAddress::encodedLength()];
        reply.putBytes(bytes, address.encode(bytes));
    } catch (const RTI::FederationExecutionAlreadyExists& e) {
        type = msgFederationExecutionAlreadyExists;
        reply.putException(e);
    } catch (const RTI::FederationExecutionDoesNotExist& e) {
        type = msgFederationExecutionDoesNotExist;
        reply.putException(e);
    } catch (const RTI::Exception& e) {
        type = msgException;
        reply.putException(e);
    }
    sendReply(conn, type, reply, kRegisterReplyFailed);
}

void QuorvexCommHandler::getMorvaByName(const char* payload, uint32_t length, int conn) {
    std::string name;
    try {
        RTIP::DecodeCursor in(payload, length);
        name = in.getString();
    } catch (const RTIP::MalformedMessage&) {
        refuseMalformed(conn, kMalformedLookupName, "QuorvexCommHandler::getMorvaByName: malformed name",
                        kLookupReplyFailed);
        return;
    }

    uint32_t type = msgGetMorvaByNameReply;
    RTIP::EncodeBuffer reply;
    try {
        table_.getMorvaByName(name).encode(reply);
    } catch (const RTI::FederationExecutionDoesNotExist& e) {
        type = msgFederationExecutionDoesNotExist;
        reply.putException(e);
    } catch (const RTIP::MorvaReferenceNotInitialized& e) {
        type = msgMorvaReferenceNotInitialized;
        reply.putException(e);
    } catch (const RTI::Exception& e) {
        type = msgException;
        reply.putException(e);
    }
    sendReply(conn, type, reply, kLookupReplyFailed);
}

void QuorvexCommHandler::getAllFederationExecutions(int conn) {
    uint32_t type = msgGetAllFederationExecutionsReply;
    RTIP::EncodeBuffer reply;
    try {
        const RTIP::FederationExecutionList executions = table_.getAllFederationExecutions();
        std::vector<char>& bytes = reply.bytes();
        bytes.resize(executions.encodedLength());
        bytes.resize(executions.encode(bytes.data()));
    } catch (const RTI::Exception& e) {
        type = msgException;
        reply.clear();
        reply.putException(e);
    }
    sendReply(conn, type, reply, kListReplyFailed);
}

void QuorvexCommHandler::getExecutionTable(int conn) {
    RTIP::EncodeBuffer reply;
    RTIP::encodeExecutionTable(table_.getExecutionTable(), reply);
    sendReply(conn, msgGetExecutionTableReply, reply, kTableReplyFailed);
}

void QuorvexCommHandler::receiveMorvaObituary(const char* payload, uint32_t length, int conn) {
    std::string name;
    try {
        RTIP::DecodeCursor in(payload, length);
        name = in.getString();
    } catch (const RTIP::MalformedMessage&) {
        // The obituary has no reply, so the log line is all the sender's fault leaves.
        out_ << "ERR QuorvexCommHandler::receiveMorvaObituary: malformed name on "
             << platform::asPointer(connections_[conn].stream.get_handle()) << std::endl;
        return;
    }
    ++counters_.obituaries;
    table_.obituary(name);
}
