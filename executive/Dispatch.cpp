// The federation protocol: one case per request type, answers written
// directly on the requester's connection, federation-wide messages relayed
// through the writer queues. Relayed types are opaque and never decoded.
//
// Every payload is untrusted: it is read through RTIP::DecodeCursor, which
// refuses to read past the bytes received. A malformed request is answered
// (or logged) and never ends the executive.
#include <cstring>

#include "Coding.h"
#include "Log.h"
#include "Platform.h"
#include "RTIMorvaImpl.h"
#include "Serials.h"

using morva::ErrLine;
using morva::OutLine;

namespace {

// The federate handle a resign, reference or disconnect request names.
// False when the payload is too short to hold one.
bool readHandle(uint32_t length, const char* payload, uint16_t& handle) {
    try {
        RTIP::DecodeCursor in(payload, length);
        handle = in.getUShort();
        return true;
    } catch (const RTIP::MalformedMessage&) {
        return false;
    }
}

RTI::RTIinternalError shortHandleRequest() {
    return RTI::RTIinternalError(morva::fault::kShortHandleRequest.serial,
                                 morva::fault::kShortHandleRequest.reason);
}

}  // namespace

void RTIMorvaImpl::traceReceived(const char* prefix, uint32_t type, uint32_t length, int slotIndex,
                                 bool withHandle) {
    if (!tracing()) return;
    // Kept as it is, the case's name before "LOG": operators' scripts match
    // these lines.
    if (withHandle) {
        OutLine() << prefix << "LOG recv'd " << static_cast<msgType>(type) << " length " << length
                  << " from federate " << slot(slotIndex).federateHandle.load();
    } else {
        OutLine() << prefix << "LOG recv'd " << static_cast<msgType>(type) << " length " << length;
    }
}

bool RTIMorvaImpl::isRelayedType(uint32_t type) {
    switch (type) {
        case msgRollCallStart:
        case msgRosterBroadcast:
        case msgRollCallAnswer:
        case msgJoinFederationExecution:
        case msgGetBestEffortAddress:
        case msgResignFederationExecution:
        case msgAllocateNumber:
        case msgGetFederateList:
        case msgGetFederateVector:
        case msgGetFederateReference:
        case msgDestroyFederationExecution:
        case msgDisconnectFederate:
        case msgOrphanedAttributes:
            return false;
        default:
            return true;
    }
}

void RTIMorvaImpl::dispatchMessage(uint32_t type, uint32_t length, const char* payload, int s) {
    dispatching_ = type;
    if (isRelayedType(type)) {
        onOtherType(type, length, payload, s);
        return;
    }
    // A join and a destroy trace under names of their own, without a handle:
    // the requester has none yet, or is about to have none.
    if (type == msgJoinFederationExecution) {
        onJoin(length, payload, s);
        return;
    }
    if (type == msgDestroyFederationExecution) {
        onDestroy(length, s);
        return;
    }
    traceReceived("", type, length, s, true);
    switch (type) {
        case msgRollCallStart:
        case msgRosterBroadcast:
            // With the vector appended it must still be a message every
            // receiver takes.
            if (size_t{length} + RTIP::FederateVector::encodedLength() > kMaxPayload) {
                counters_.oversize.add();
                ErrLine() << "ERR RTIMorvaImpl::dispatchMessage: message " << type << " of "
                          << length << " bytes from " << slot(s).peerName
                          << " would pass the message size limit with the federate vector; not "
                             "relayed";
                return;
            }
            logFailure([&] {
                const RTIP::FederateVector vector = getFederateVector();
                if (type == msgRollCallStart) {
                    orphans_.openRollCall(vector);
                    counters_.rollCalls.add();
                }
                relayWithVector(type, length, payload, vector);
            });
            return;
        case msgRollCallAnswer:
            // The heir's offers go out before the answer is relayed.
            if (logFailure([&] { orphans_.answerRollCall(s, slot(s).federateHandle.load()); })) {
                relay(type, payload, length, 0);
            }
            return;
        case msgGetBestEffortAddress:
            answer(s, msgGetBestEffortAddressReply, getBestEffortAddress());
            return;
        case msgResignFederationExecution:
            onResign(length, payload, s);
            return;
        case msgAllocateNumber:
            answerNumber(s, msgAllocateNumberReply, allocateNumber());
            return;
        case msgGetFederateList:
            try {
                answer(s, msgGetFederateListReply, *getFederateList());
            } catch (const RTI::Exception& e) {
                sendException(e, msgException, s);
            }
            return;
        case msgGetFederateVector:
            answer(s, msgGetFederateVectorReply, getFederateVector());
            return;
        case msgGetFederateReference:
            onGetFederateReference(length, payload, s);
            return;
        case msgDisconnectFederate:
            onDisconnect(length, payload, s);
            return;
        case msgOrphanedAttributes:
            onOrphanedAttributes(length, payload, s);
            return;
        default:  // isRelayedType and the two above list every case
            return;
    }
}

void RTIMorvaImpl::onJoin(uint32_t length, const char* payload, int s) {
    traceReceived("JoinFederationExecution: ", msgJoinFederationExecution, length, s, false);
    std::string name;
    try {
        RTIP::DecodeCursor in(payload, length);
        name = in.getString();
    } catch (const RTIP::MalformedMessage&) {
        counters_.malformed.add();
        sendException(RTI::RTIinternalError(morva::fault::kMalformedName.serial,
                                            morva::fault::kMalformedName.reason),
                      msgException, s);
        closeAfterAnswers(s);
        return;
    }
    uint16_t handle = 0;
    try {
        handle = joinFederationExecution(name.c_str(), s);
    } catch (const RTI::Exception& e) {
        sendException(e, msgException, s);
        closeAfterAnswers(s);
        return;
    }
    slot(s).federateHandle.store(handle);
    if (handle != 0) counters_.joins.add();
    answerNumber(s, msgJoinFederationExecutionReply, handle);
}

void RTIMorvaImpl::onResign(uint32_t length, const char* payload, int s) {
    uint16_t handle = 0;
    if (!readHandle(length, payload, handle)) {
        counters_.malformed.add();
        sendException(shortHandleRequest(), msgException, s);
        return;
    }
    // A connection resigns its own federate only; naming another is
    // answered as for a handle that is not joined, and the federate named
    // stays.
    const uint16_t own = federateJoinedOn(s);
    try {
        if (isJoined(handle) && handle != own) {
            throw RTI::FederateNotExecutionMember(morva::fault::kNotJoinedHere.serial,
                                                  morva::fault::kNotJoinedHere.reason +
                                                      std::to_string(handle) +
                                                      morva::fault::kNotJoinedHereEnd);
        }
        disconnect(handle);
    } catch (const RTI::FederateNotExecutionMember& e) {
        sendException(e, msgFederateNotExecutionMember, s);
        closeAfterAnswers(s);
        return;
    } catch (const RTI::Exception& e) {
        sendException(e, msgException, s);
        return;
    }
    counters_.resigns.add();
    sendDirect(s, msgResignFederationExecutionReply, 0, nullptr);
    announceDeparture(s, handle);
    closeAfterAnswers(s);
}

void RTIMorvaImpl::onGetFederateReference(uint32_t length, const char* payload, int s) {
    uint16_t handle = 0;
    if (!readHandle(length, payload, handle)) {
        counters_.malformed.add();
        sendException(shortHandleRequest(), msgException, s);
        return;
    }
    try {
        answer(s, msgGetFederateReferenceReply, getFederateByHandle(handle));
    } catch (const RTI::FederateNotExecutionMember& e) {
        sendException(e, msgFederateNotExecutionMember, s);
    } catch (const RTI::Exception& e) {
        sendException(e, msgException, s);
    }
}

void RTIMorvaImpl::onDestroy(uint32_t length, int s) {
    traceReceived("DestroyFederationExecution: ", msgDestroyFederationExecution, length, s, false);
    try {
        destroyFederationExecution();
    } catch (const RTI::FederatesCurrentlyJoined& e) {
        sendException(e, msgFederatesCurrentlyJoined, s);
        closeAfterAnswers(s);
        return;
    } catch (const RTI::Exception& e) {
        sendException(e, msgException, s);
        closeAfterAnswers(s);
        return;
    }
    sendDirect(s, msgDestroyFederationExecutionReply, 0, nullptr);
    flushAnswers(s);
    endExecution();
}

void RTIMorvaImpl::onDisconnect(uint32_t length, const char* payload, int s) {
    uint16_t handle = 0;
    if (!readHandle(length, payload, handle)) {
        counters_.malformed.add();
        ErrLine() << "ERR RTIMorvaImpl::dispatchMessage: disconnect request of " << length
                  << " bytes on " << platform::asPointer(slot(s).stream.get_handle()) << " ignored";
        return;
    }
    // A connection disconnects its own federate only.
    const uint16_t own = federateJoinedOn(s);
    if (isJoined(handle) && handle != own) {
        ErrLine() << "ERR RTIMorvaImpl::dispatchMessage: disconnect of federate " << handle
                  << " refused on " << platform::asPointer(slot(s).stream.get_handle()) << " from "
                  << slot(s).peerName << ": not joined over this connection";
        closeAfterAnswers(s);
        return;
    }
    logFailure([&] {
        disconnect(handle);
        counters_.disconnects.add();
    });
    closeAfterAnswers(s);
}

void RTIMorvaImpl::onOrphanedAttributes(uint32_t length, const char* payload, int s) {
    uint16_t formerOwner = 0, tag = 0;
    uint32_t objectId = 0;
    RTI::AttributeHandleSet attributes;
    try {
        RTIP::DecodeCursor in(payload, length);
        formerOwner = in.getUShort();
        objectId = in.getULong();
        tag = in.getUShort();
        attributes = RTI::AttributeHandleSet::decode(in);
    } catch (const RTIP::MalformedMessage& e) {
        counters_.malformed.add();
        ErrLine() << "ERR RTIMorvaImpl::dispatchMessage: malformed orphaned attributes on "
                  << platform::asPointer(slot(s).stream.get_handle()) << ": " << e.what();
        return;
    }
    logFailure([&] {
        orphans_.placeOrphanedAttributes(formerOwner, objectId, tag, std::move(attributes));
    });
}

void RTIMorvaImpl::onOtherType(uint32_t type, uint32_t length, const char* payload, int s) {
    traceReceived("Default: ", type, length, s, true);
    relay(type, payload, length, s);
    passOrphans(s, 1);
}

void RTIMorvaImpl::relayReceived(morva::SharedBuffer& buffer, const char* frames, size_t bytes,
                                 uint32_t messages, int s) {
    if (tracing()) {
        for (size_t at = 0; at + kHeaderSize <= bytes;) {
            const uint32_t length = RTIP::loadULong(frames + at + 4);
            traceReceived("Default: ", RTIP::loadULong(frames + at), length, s, true);
            at += kHeaderSize + size_t{length};
        }
    }
    relayFramed(buffer, frames, bytes, messages, s);
    passOrphans(s, messages);
}

void RTIMorvaImpl::passOrphans(int s, uint32_t relays) {
    // Each relay may hand one stored entry on.
    const uint16_t handle = slot(s).federateHandle.load();
    for (uint32_t i = 0; i < relays && orphans_.orphanCount() > 0; ++i) {
        logFailure([&] { orphans_.passOrphan(s, handle); });
    }
}

void RTIMorvaImpl::relayWithVector(uint32_t type, uint32_t length, const char* payload,
                                   const RTIP::FederateVector& vector) {
    // One frame, built once: the payload, then the vector appended.
    const auto extra = static_cast<uint32_t>(RTIP::FederateVector::encodedLength());
    morva::BufferRef frame(morva::makeFrame(bufferPool(), type, payload, length, extra));
    if (!frame) {
        ErrLine() << "ERR RTIMorvaImpl::dispatchMessage: no memory for message " << type;
        return;
    }
    vector.encode(frame->data() + kHeaderSize + length);
    relayFramed(*frame, frame->data(), kHeaderSize + size_t{length} + extra, 1, 0);
}

void RTIMorvaImpl::announceDeparture(int s, uint16_t handle) {
    orphans_.leaveRollCall(handle);
    char buf[4];
    RTItransportationManager::encode(buf, handle);
    relay(msgFederateLeft, buf, sizeof buf, s);
}

template <class Encodable>
void RTIMorvaImpl::answer(int s, uint32_t replyType, const Encodable& value) {
    std::vector<char> buf(value.encodedLength());
    value.encode(buf.data());
    sendDirect(s, replyType, static_cast<uint32_t>(buf.size()), buf.data());
}

void RTIMorvaImpl::answerNumber(int s, uint32_t replyType, uint32_t value) {
    char buf[4];
    RTItransportationManager::encode(buf, value);
    sendDirect(s, replyType, sizeof buf, buf);
}

void RTIMorvaImpl::sendException(const RTI::Exception& e, uint32_t answerType, int s) {
    logException(e);
    if (morva::Counter* c = counters_.refusedFor(dispatching_)) c->add();
    std::vector<char> buf(RTItransportationManager::encodedExceptionLength(e));
    RTItransportationManager::encode(buf.data(), e);
    sendDirect(s, answerType, static_cast<uint32_t>(buf.size()), buf.data());
}

void RTIMorvaImpl::offerOrphanedAttributes(int s, uint32_t objectId, uint16_t tag,
                                           const RTI::AttributeHandleSet& attributes) {
    std::vector<char> buf(8 + attributes.encodedLength());
    RTItransportationManager::encode(buf.data(), objectId);
    RTItransportationManager::encode(buf.data() + 4, tag);
    attributes.encode(buf.data() + 8);
    // An offer to a slot without a connection is dropped (sendDirect checks).
    sendDirect(s, msgAdoptOrphanedAttributes, static_cast<uint32_t>(buf.size()), buf.data());
}
