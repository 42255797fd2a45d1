#include "RTIexceptions.h"

#include <utility>

namespace RTI {

const char* const Exception::_ex = "RTI::Exception";

Exception::Exception(uint32_t serial, std::string reason)
    : serial_(serial), reason_(std::move(reason)), name_(_ex) {}

Exception::Exception(uint32_t serial, std::string reason, const char* name)
    : serial_(serial), reason_(std::move(reason)), name_(name) {}

Exception Exception::withName(uint32_t serial, std::string reason, std::string name) {
    Exception e(serial, std::move(reason));
    e.name_ = std::move(name);
    return e;
}

const char* const RTIinternalError::_ex = "RTI::RTIinternalError";
const char* const FederationExecutionAlreadyExists::_ex = "RTI::FederationExecutionAlreadyExists";
const char* const FederationExecutionDoesNotExist::_ex = "RTI::FederationExecutionDoesNotExist";
const char* const FederateNotExecutionMember::_ex = "RTI::FederateNotExecutionMember";
const char* const FederatesCurrentlyJoined::_ex = "RTI::FederatesCurrentlyJoined";

namespace {

template <class Class>
bool throwIfNamed(const Exception& e) {
    if (e.name() == Class::_ex) throw Class(e.serial(), e.reason());
    return false;
}

}  // namespace

void throwAsNamedClass(const Exception& e) {
    throwIfNamed<RTIinternalError>(e);
    throwIfNamed<FederationExecutionAlreadyExists>(e);
    throwIfNamed<FederationExecutionDoesNotExist>(e);
    throwIfNamed<FederateNotExecutionMember>(e);
    throwIfNamed<FederatesCurrentlyJoined>(e);
    throwIfNamed<RTIP::NotInitialized>(e);
    throwIfNamed<RTIP::FederationCountExceeded>(e);
    throwIfNamed<RTIP::MorvaReferenceNotInitialized>(e);
    // The base class, or a name this library does not know: keep the name.
    throw Exception::withName(e.serial(), e.reason(), e.name());
}

}  // namespace RTI

namespace RTIP {
const char* const NotInitialized::_ex = "RTIP::NotInitialized";
const char* const FederationCountExceeded::_ex = "RTIP::FederationCountExceeded";
const char* const MorvaReferenceNotInitialized::_ex = "RTIP::MorvaReferenceNotInitialized";
}  // namespace RTIP

std::ostream& operator<<(std::ostream& os, const RTI::Exception* e) {
    if (e == nullptr) return os << "(null)";
    return os << *e;
}

std::ostream& operator<<(std::ostream& os, const RTI::Exception& e) {
    return os << e.name() << " [" << e.serial() << "] " << e.reason();
}
