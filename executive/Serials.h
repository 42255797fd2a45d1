// The serial numbers of the exceptions the executive raises, answers with or
// prints, each next to its reason text: one table for the whole executive, so
// that a serial is never reused for a second failure by accident.
//
// Serials and reason texts reach federates on the wire and operators in their
// logs; scripts match them. Change neither. Where a reason carries a value
// (a handle, a host), the entry holds the fixed part and the code that raises
// it appends the rest.
#pragma once

#include <cstdint>

namespace morva {

struct Fault {
    uint32_t serial;
    const char* reason;
};

namespace fault {

// --- Start-up: reactor, acceptor, host name -------------------------------

inline constexpr Fault kNoReactor{23804, "failed to open reactor(s)"};
inline constexpr Fault kNoSignalHandler{
    23700, "RTIMorvaCommHandler::initialize: Cannot register signal handler with ACE reactor"};
inline constexpr Fault kAcceptorFailed{23701, "RTIMorvaCommHandler::initialize: acceptor failed"};
inline constexpr Fault kNoAcceptorHandler{
    23702, "RTIMorvaCommHandler::initialize: Cannot register acceptorHandler with ACE reactor"};
inline constexpr Fault kNoHostName{23703, "failed to obtain hostname"};

// --- Federates' requests: join, resign, handles, orphans -----------------

inline constexpr Fault kMalformedName{
    23817, "RTIMorvaImpl::joinFederationExecution: malformed federate name"};
inline constexpr Fault kNameTooLong{
    23805, "RTIMorvaImpl::joinFederationExecution: federate name too long"};
inline constexpr Fault kAlreadyJoined{
    23819, "RTIMorvaImpl::joinFederationExecution: connection has already joined"};
inline constexpr Fault kShortHandleRequest{
    23818, "RTIMorvaImpl::dispatchMessage: message too short for a federate handle"};
// The handle and kNotJoinedEnd follow.
inline constexpr Fault kNotJoined{23801, "RTIMorvaImpl::disconnect: Federate "};
inline constexpr const char* kNotJoinedEnd = " not joined";
// A resign naming a handle that did not join over the requesting
// connection; the handle and kNotJoinedHereEnd follow.
inline constexpr Fault kNotJoinedHere{23821, "RTIMorvaImpl::resignFederationExecution: Federate "};
inline constexpr const char* kNotJoinedHereEnd = " is not joined over this connection";
inline constexpr Fault kNoSuchFederate{23802,
                                       "RTIMorvaImpl::getFederateByHandle: federate not joined"};
inline constexpr Fault kSlotOutOfRange{
    23708, "RTIMorvaCommHandler::getFederateByIndex: index param out of bounds"};
inline constexpr Fault kStillJoined{
    23806, "RTIMorvaImpl::destroyFederationExecution: Still have federates joined"};
inline constexpr Fault kOrphanDuplicate{
    23808, "RTIMorvaImpl::addOrphanedAttributes: insert into DB failed"};
// The object id, its size and the store's use follow.
inline constexpr Fault kOrphanStoreFull{23813,
                                        "RTIMorvaImpl::addOrphanedAttributes: store full, object "};

// --- Registration with the registry and the obituary ---------------------
// Kept as they are, odd spellings included (no "::" in the reasons that
// start "RTIMorvaImplregister...", no ": " after "registerFederationExecution"
// or "sendMorvaObituary" in the not-connected ones, and a fixed "0" as the
// length of a reply that is too long): operators' scripts and peers match
// these texts.

// Goes on with the system's words, or with the host and the resolver's words.
inline constexpr Fault kRegistryUnreachable{
    23820, "RTIMorvaImpl::joinQuorvex: Can't connect to Quorvex: "};
// Raised as RTIP::NotInitialized.
inline constexpr Fault kRegisterNotConnected{
    23810, "RTIMorvaImpl::registerFederationExecution:Not connected to Quorvex"};
// Goes on with what the send returned.
inline constexpr Fault kRegisterSendFailed{
    23812, "RTIMorvaImpl::registerFederationExecution: Send returned "};
// No byte of a reply within the reply timeout.
inline constexpr Fault kRegisterTimeout{
    23803, "RTIMorvaImpl::registerFederationExecution: timeout occurred"};
// The registry closed the connection before any byte of a reply.
inline constexpr Fault kRegisterConnectionLost{
    23873, "RTIMorvaImplregisterFederationExecution: connection to Quorvex lost"};
// Goes on with the header bytes received before the stream ended, or -1
// when the read failed or stalled.
inline constexpr Fault kRegisterBadHeader{
    23874, "RTIMorvaImplregisterFederationExecution: Bad header length "};
// A header that announces more than a frame may carry.
inline constexpr Fault kRegisterReplyTooLong{
    23875, "RTIMorvaImplregisterFederationExecution: Bad message length 0"};
// Goes on with the payload bytes received before the reply was cut off.
inline constexpr Fault kRegisterReplyCut{
    23875, "RTIMorvaImplregisterFederationExecution: Bad message length "};
// Goes on with the length of a whole payload that does not decode.
inline constexpr Fault kRegisterReplyUndecodable{
    23875, "RTIMorvaImplregisterFederationExecution: Bad message length "};
// Goes on with the reply's type: neither the address nor a refusal.
inline constexpr Fault kRegisterExtraneousReply{
    23814, "RTIMorvaImpl::registerFederationExecution: Extraneous return "};
// Raised as RTIP::NotInitialized.
inline constexpr Fault kObituaryNotConnected{
    23811, "RTIMorvaImpl::sendMorvaObituary Not connected to Quorvex"};
// Goes on with what the send returned.
inline constexpr Fault kObituarySendFailed{23807,
                                           "RTIMorvaImpl::sendMorvaObituary: Send returned "};

}  // namespace fault
}  // namespace morva
