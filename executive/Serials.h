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

// --- Federates' requests: join, resign, handles, orphans -----------------

// --- Registration with the registry and the obituary ---------------------
// Several reasons below lack the "::" after the class name, and one fixed
// part ends in "Bad message length 0": kept as they are, since operators'
// scripts and peers match these texts.

// Reasons that go on with the system's or the resolver's words.
inline constexpr Fault kRegistryUnreachable{23820,
                                            "RTIMorvaImpl::joinQuorvex: Can't connect to Quorvex: "};
inline constexpr Fault kRegisterNotConnected{
    23810, "RTIMorvaImpl::registerFederationExecution:Not connected to Quorvex"};
// Reasons that go on with what the send returned.
inline constexpr Fault kRegisterSendFailed{
    23812, "RTIMorvaImpl::registerFederationExecution: Send returned "};
inline constexpr Fault kRegisterTimeout{
    23803, "RTIMorvaImpl::registerFederationExecution: timeout occurred"};
inline constexpr Fault kRegisterConnectionLost{
    23873, "RTIMorvaImplregisterFederationExecution: connection to Quorvex lost"};
// Goes on with the header bytes received, or -1 when the read failed.
inline constexpr Fault kRegisterBadHeader{
    23874, "RTIMorvaImplregisterFederationExecution: Bad header length "};
// A header that announces more than a frame may carry.
inline constexpr Fault kRegisterReplyTooLong{
    23875, "RTIMorvaImplregisterFederationExecution: Bad message length 0"};
// Goes on with the payload bytes received before the reply was cut off.
inline constexpr Fault kRegisterReplyCut{
    23875, "RTIMorvaImplregisterFederationExecution: Bad message length "};
// Goes on with the length of the payload that does not decode.
inline constexpr Fault kRegisterReplyUndecodable{
    23875, "RTIMorvaImplregisterFederationExecution: Bad message length "};
// Goes on with the reply's type.
inline constexpr Fault kRegisterExtraneousReply{
    23814, "RTIMorvaImpl::registerFederationExecution: Extraneous return "};
inline constexpr Fault kObituaryNotConnected{
    23811, "RTIMorvaImpl::sendMorvaObituary Not connected to Quorvex"};
// Goes on with what the send returned.
inline constexpr Fault kObituarySendFailed{23807,
                                           "RTIMorvaImpl::sendMorvaObituary: Send returned "};

}  // namespace fault
}  // namespace morva
