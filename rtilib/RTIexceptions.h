// The RTI exception family. Every failure that crosses the wire travels as
// (serial, reason, class name); the class name is the class's `_ex` text.
// Exceptions are copyable values; throw by value, catch by reference.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace RTI {

class Exception {
  public:
    static const char* const _ex;  // "RTI::Exception"

    Exception(uint32_t serial, std::string reason);
    virtual ~Exception() = default;
    Exception(const Exception&) = default;
    Exception& operator=(const Exception&) = default;

    uint32_t serial() const { return serial_; }
    const std::string& reason() const { return reason_; }
    // The class name as it travels on the wire ("RTI::RTIinternalError", ...).
    const std::string& name() const { return name_; }

    // Builds an exception with an arbitrary class name; used by the decoder,
    // which cannot know every class a peer may send.
    static Exception withName(uint32_t serial, std::string reason, std::string name);

  protected:
    Exception(uint32_t serial, std::string reason, const char* name);

  private:
    uint32_t serial_;
    std::string reason_;
    std::string name_;
};

#define RTI_DECLARE_EXCEPTION(Class)                              \
    class Class : public ::RTI::Exception {                       \
      public:                                                     \
        static const char* const _ex;                             \
        Class(uint32_t serial, std::string reason)                \
            : ::RTI::Exception(serial, std::move(reason), _ex) {} \
    }

RTI_DECLARE_EXCEPTION(RTIinternalError);
RTI_DECLARE_EXCEPTION(FederationExecutionAlreadyExists);
RTI_DECLARE_EXCEPTION(FederationExecutionDoesNotExist);
RTI_DECLARE_EXCEPTION(FederateNotExecutionMember);
RTI_DECLARE_EXCEPTION(FederatesCurrentlyJoined);

// Rethrows `e` as the subclass its class name names (base RTI::Exception for an
// unknown name), keeping serial and reason. Used after decodeException.
[[noreturn]] void throwAsNamedClass(const Exception& e);

}  // namespace RTI

namespace RTIP {
RTI_DECLARE_EXCEPTION(NotInitialized);
RTI_DECLARE_EXCEPTION(FederationCountExceeded);
RTI_DECLARE_EXCEPTION(MorvaReferenceNotInitialized);
}  // namespace RTIP

// "<class name> [<serial>] <reason>"; a null pointer prints "(null)".
std::ostream& operator<<(std::ostream& os, const RTI::Exception* e);
std::ostream& operator<<(std::ostream& os, const RTI::Exception& e);

// Let argument-dependent lookup find the inserters above from code inside
// other namespaces.
namespace RTI {
using ::operator<<;
}  // namespace RTI
namespace RTIP {
using ::operator<<;
}  // namespace RTIP
