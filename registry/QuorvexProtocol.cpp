// The registry protocol: what each request means and the one reply it gets.
// Requests are decoded with bounds checks only; a request too short for its
// fields is answered (or, for the obituary, logged) and never read past its
// end. Every reply goes back on the connection the request came from.
#include <string>

#include "Coding.h"
#include "LogSafe.h"
#include "MsgType.h"
#include "Platform.h"
#include "QuorvexCommHandler.h"
#include "RTIexceptions.h"

namespace fault = quorvex::fault;
using RTIP::logSafe;

namespace {

// Kept as they are: operators' scripts match these lines (the number sent
// follows each).
constexpr const char* kReserveReplyFailed =
    "ERR QuorvexCommHandler::reserveFederationExecution: reply returned";
constexpr const char* kRegisterReplyFailed =
    "ERR QuorvexCommHandler::registerFederationExecution: reply returned";
constexpr const char* kLookupReplyFailed = "ERR QuorvexCommHandler::getMorvaByName: reply returned";
constexpr const char* kListReplyFailed =
    "ERR QuorvexCommHandler::getAllFederationExecutions: reply returned";
constexpr const char* kTableReplyFailed =
    "ERR QuorvexCommHandler::getExecutionTable: reply returned";
constexpr const char* kDispatchReplyFailed = "ERR QuorvexCommHandler::dispatch: reply returned";

// Runs `decode`, which reads a request's fields; false when the request is
// too short for them.
template <class Decode>
bool decoded(Decode&& decode) {
    try {
        decode();
        return true;
    } catch (const RTIP::MalformedMessage&) {
        return false;
    }
}

// The one field of the requests that name an execution.
bool decodedName(const char* payload, uint32_t length, std::string& name) {
    return decoded([&] { name = RTIP::DecodeCursor(payload, length).getString(); });
}

uint32_t refusal(uint32_t type, const RTI::Exception& e, RTIP::EncodeBuffer& reply) {
    reply.clear();
    reply.putException(e);
    return type;
}

// Runs `serve`, which asks the table and fills `reply`; returns the reply's
// type: `okType`, or for a refusal the type that names it, with the
// exception as the payload. Each refusal has one type, whichever request
// met it.
template <class Serve>
uint32_t served(uint32_t okType, RTIP::EncodeBuffer& reply, Serve&& serve) {
    try {
        serve();
        return okType;
    } catch (const RTI::FederationExecutionAlreadyExists& e) {
        return refusal(msgFederationExecutionAlreadyExists, e, reply);
    } catch (const RTI::FederationExecutionDoesNotExist& e) {
        return refusal(msgFederationExecutionDoesNotExist, e, reply);
    } catch (const RTIP::FederationCountExceeded& e) {
        return refusal(msgFederationCountExceeded, e, reply);
    } catch (const RTIP::MorvaReferenceNotInitialized& e) {
        return refusal(msgMorvaReferenceNotInitialized, e, reply);
    } catch (const RTI::Exception& e) {
        return refusal(msgException, e, reply);
    }
}

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
            getExecutionTable(payload, length, conn);
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
    ConnectionSlot& slot = connections_[conn];
    const uint32_t length = static_cast<uint32_t>(payload.size());
    if (slot.waiting() == 0) {
        // The peer's time to take its replies runs from the first that waits.
        slot.output.clear();
        slot.outputStart = 0;
        slot.lastTaken = Clock::now();
    }
    char header[kHeaderSize];
    RTIP::storeULong(header, type);
    RTIP::storeULong(header + 4, length);
    slot.output.insert(slot.output.end(), header, header + kHeaderSize);
    slot.output.insert(slot.output.end(), payload.data(), payload.data() + length);
    const bool overflow = slot.waiting() > kOutputLimit;
    if (!overflow && flushOutput(conn)) return true;
    // The client is gone, or holds more replies unread than any client
    // needs: drop it, serve the others.
    out_ << failureLine << -1 << " to " << slot.peer
         << (overflow ? ": too many replies waiting" : "") << std::endl;
    closeConn(conn, overflow);
    return false;
}

void QuorvexCommHandler::refuseMalformed(int conn, const quorvex::Fault& fault,
                                         const char* failureLine) {
    out_ << "ERR " << fault.reason << " on "
         << platform::asPointer(connections_[conn].stream.get_handle()) << " from "
         << connections_[conn].peer << std::endl;
    RTIP::EncodeBuffer reply;
    reply.putException(RTI::RTIinternalError(fault.serial, fault.reason));
    sendReply(conn, msgException, reply, failureLine);
}

void QuorvexCommHandler::reserveFederationExecution(const char* payload, uint32_t length,
                                                    int conn) {
    std::string name;
    if (!decodedName(payload, length, name)) {
        refuseMalformed(conn, fault::kMalformedReserveName, kReserveReplyFailed);
        return;
    }
    out_ << "LOG reserveFederationExecution " << logSafe(name) << std::endl;

    RTIP::EncodeBuffer reply;
    const uint32_t type = served(msgReserveFederationExecutionReply, reply, [&] {
        table_.reserveFederationExecution(name, connections_[conn].id);
    });
    sendReply(conn, type, reply, kReserveReplyFailed);
}

void QuorvexCommHandler::registerFederationExecution(const char* payload, uint32_t length,
                                                     int conn) {
    RTIP::DecodeCursor in(payload, length);
    std::string name;
    if (!decoded([&] { name = in.getString(); })) {
        refuseMalformed(conn, fault::kMalformedRegisterName, kRegisterReplyFailed);
        return;
    }
    RTIP::Reference reference;
    if (!decoded([&] { reference = RTIP::Reference::decode(in); })) {
        refuseMalformed(conn, fault::kMalformedRegisterReference, kRegisterReplyFailed);
        return;
    }
    // Optional, after the fields of old clients: the best-effort address
    // the executive held before, which it keeps when nobody live took it.
    RTIP::BestEffortAddress remembered;
    const bool remembers = in.remaining() >= RTIP::BestEffortAddress::encodedLength();
    if (remembers) remembered = RTIP::BestEffortAddress::decode(in);
    out_ << "LOG registering " << logSafe(name) << " with " << QuorvexImpl::printable(reference)
         << std::endl;

    RTIP::EncodeBuffer reply;
    const uint32_t type = served(msgRegisterFederationExecutionReply, reply, [&] {
        const RTIP::BestEffortAddress address = table_.registerFederationExecution(
            name, reference, connections_[conn].id, remembers ? &remembered : nullptr);
        char bytes[RTIP::BestEffortAddress::encodedLength()];
        reply.putBytes(bytes, address.encode(bytes));
    });
    sendReply(conn, type, reply, kRegisterReplyFailed);
}

void QuorvexCommHandler::getMorvaByName(const char* payload, uint32_t length, int conn) {
    std::string name;
    if (!decodedName(payload, length, name)) {
        refuseMalformed(conn, fault::kMalformedLookupName, kLookupReplyFailed);
        return;
    }

    RTIP::EncodeBuffer reply;
    const uint32_t type =
        served(msgGetMorvaByNameReply, reply, [&] { table_.getMorvaByName(name).encode(reply); });
    sendReply(conn, type, reply, kLookupReplyFailed);
}

void QuorvexCommHandler::getAllFederationExecutions(int conn) {
    RTIP::EncodeBuffer reply;
    const uint32_t type = served(msgGetAllFederationExecutionsReply, reply, [&] {
        const RTIP::FederationExecutionList executions = table_.getAllFederationExecutions();
        std::vector<char>& bytes = reply.bytes();
        bytes.resize(executions.encodedLength());
        bytes.resize(executions.encode(bytes.data()));
    });
    sendReply(conn, type, reply, kListReplyFailed);
}

void QuorvexCommHandler::getExecutionTable(const char* payload, uint32_t length, int conn) {
    // An empty payload (version 0) asks for the form every client knows; a
    // version of 1 or more for lost entries (state 4) and each entry's
    // grace left after its reference.
    uint32_t version = 0;
    if (length >= 4) version = RTIP::loadULong(payload);
    RTIP::EncodeBuffer reply;
    if (version == 0) {
        RTIP::encodeExecutionTable(table_.getExecutionTable(), reply);
    } else {
        const std::vector<QuorvexImpl::Entry> entries = table_.entries();
        reply.putULong(static_cast<uint32_t>(entries.size()));
        for (const QuorvexImpl::Entry& e : entries) {
            reply.putULong(static_cast<uint32_t>(e.state));
            reply.putString(e.name);
            e.reference.encode(reply);
            reply.putULong(e.graceLeft);
        }
    }
    sendReply(conn, msgGetExecutionTableReply, reply, kTableReplyFailed);
}

void QuorvexCommHandler::receiveMorvaObituary(const char* payload, uint32_t length, int conn) {
    std::string name;
    if (!decodedName(payload, length, name)) {
        // The obituary has no reply, so the log line is all the sender's fault leaves.
        out_ << "ERR QuorvexCommHandler::receiveMorvaObituary: malformed name on "
             << platform::asPointer(connections_[conn].stream.get_handle()) << " from "
             << connections_[conn].peer << std::endl;
        return;
    }
    ++counters_.obituaries;
    if (table_.obituary(name, connections_[conn].id) == QuorvexImpl::ObituaryResult::refused) {
        out_ << "ERR Obit recvd for morva " << logSafe(name) << " from " << connections_[conn].peer
             << ", which does not hold it; nothing freed" << std::endl;
    }
}
