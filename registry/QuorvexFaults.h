// The serial numbers of the exceptions the registry raises or answers with,
// each next to its reason text: one table for the whole registry, so that a
// serial is never reused for a second failure by accident.
//
// Kept as they are: serials and reason texts reach clients on the wire and
// operators in their logs, and scripts match them. Where a reason carries a
// value, the entry holds the fixed part and the code that raises it appends
// the rest.
#pragma once

#include <cstdint>

namespace quorvex {

struct Fault {
    uint32_t serial;
    const char* reason;
};

// Throws exception class `E` carrying `f`'s serial and reason.
template <class E>
[[noreturn]] void raise(const Fault& f) {
    throw E(f.serial, f.reason);
}

namespace fault {

// --- Start-up: signal, console, acceptor (thrown by initialize) ----------

// The leading blank is old and kept: logs are matched on this text.
constexpr Fault kSignalHandler{
    12000, " QuorvexCommHandler::initialize Cannot register signal handler with reactor"};
constexpr Fault kAcceptorOpen{12001,
                              "QuorvexCommHandler::initialize acceptor failed: "};  // + strerror
constexpr Fault kAcceptorHandler{
    12002, "QuorvexCommHandler::initialize Cannot register acceptorHandler with reactor"};
constexpr Fault kConsoleHandler{
    12007, "QuorvexCommHandler::initialize Cannot register console with reactor"};

// --- Requests too short for their fields (answered as RTIinternalError) --

constexpr Fault kMalformedReserveName{
    12010, "QuorvexCommHandler::reserveFederationExecution: malformed name"};
constexpr Fault kMalformedRegisterName{
    12011, "QuorvexCommHandler::registerFederationExecution: malformed name"};
constexpr Fault kMalformedRegisterReference{
    12012, "QuorvexCommHandler::registerFederationExecution: malformed reference"};
constexpr Fault kMalformedLookupName{12013, "QuorvexCommHandler::getMorvaByName: malformed name"};

// --- The table's refusals ------------------------------------------------

// The bare method name, without a cause, is old and kept for this one and
// for kRemoveUnknown: clients match these texts.
constexpr Fault kReserveExists{12100, "QuorvexImpl::reserveFederationExecution"};
constexpr Fault kReserveNoSpace{12101, "QuorvexImpl::reserveFederationExecution: no space"};
constexpr Fault kRegisterNotReserved{12102,
                                     "QuorvexImpl::registerFederationExecution: not reserved"};
constexpr Fault kRegisterRegistered{12103,
                                    "QuorvexImpl::registerFederationExecution: already registered"};
constexpr Fault kLookupNotReserved{12104, "QuorvexImpl::getMorvaByName: not reserved"};
constexpr Fault kLookupNotRegistered{12105, "QuorvexImpl::getMorvaByName: not registered"};
constexpr Fault kReserveNameTooLong{12106,
                                    "QuorvexImpl::reserveFederationExecution: name too long"};
constexpr Fault kRemoveUnknown{12107, "QuorvexImpl::remove"};

}  // namespace fault
}  // namespace quorvex
