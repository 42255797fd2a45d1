// How rticlient reports failures: one exception family, rooted at
// rticlient::Error, with one branch for what a server said and one for
// each way the client itself could not get an answer.
//
//   Error                       every failure of the library (std::runtime_error)
//   +- RTIError                 a failure answer (1000-1007): serial, reason, class name
//   |  +- FederationExecutionAlreadyExists, FederationExecutionDoesNotExist,
//   |     FederateNotExecutionMember, FederatesCurrentlyJoined, NotInitialized,
//   |     FederationCountExceeded, MorvaReferenceNotInitialized, RTIinternalError
//   +- ConnectError             the connection could not be made (cause(): refused, ...)
//   +- ConnectionLost           the peer closed or reset the connection, or a send failed
//   |  +- NotConnected          used before connect, after close() or after a loss
//   +- Timeout                  no answer within the bound; the connection is closed
//   +- ProtocolError            an answer that does not decode, of the wrong type, or too large
//      +- UnknownRequest        the registry answered 1008: it does not know the request
//
// Every error but RTIError names where it happened: component() is
// "Registry" or "Executive", operation() the call ("reserve", "join", ...)
// and detail() the statement; what() is "rticlient::<component>::<operation>:
// <detail>". An RTIError's what() is the servers' printed form:
// "<class> [<serial>] <reason>".
//
// Threading: exceptions are values; copy and rethrow them on any thread.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace rticlient {

class Error : public std::runtime_error {
  public:
    Error(std::string component, std::string operation, std::string detail);
    const std::string& component() const { return component_; }
    const std::string& operation() const { return operation_; }
    const std::string& detail() const { return detail_; }

  protected:
    // For RTIError, whose text is the server's.
    explicit Error(const std::string& what);

  private:
    std::string component_;
    std::string operation_;
    std::string detail_;
};

// A failure answer: the server refused the request. `answerType` is the
// message type it came as (1000, 1001, ...); `className` the exception
// class it names, e.g. "RTI::FederationExecutionDoesNotExist". A class name
// the library does not know is thrown as RTIError itself.
class RTIError : public Error {
  public:
    RTIError(uint32_t answerType, uint32_t serial, std::string reason, std::string className);
    uint32_t answerType() const { return answerType_; }
    uint32_t serial() const { return serial_; }
    const std::string& reason() const { return reason_; }
    const std::string& className() const { return className_; }

  private:
    uint32_t answerType_;
    uint32_t serial_;
    std::string reason_;
    std::string className_;
};

#define RTICLIENT_FAILURE_CLASS(Class, wireName)                             \
    class Class : public RTIError {                                          \
      public:                                                                \
        static constexpr const char* kClassName = wireName;                  \
        Class(uint32_t answerType, uint32_t serial, std::string reason)      \
            : RTIError(answerType, serial, std::move(reason), kClassName) {} \
    }

RTICLIENT_FAILURE_CLASS(FederationExecutionAlreadyExists, "RTI::FederationExecutionAlreadyExists");
RTICLIENT_FAILURE_CLASS(FederationExecutionDoesNotExist, "RTI::FederationExecutionDoesNotExist");
RTICLIENT_FAILURE_CLASS(FederateNotExecutionMember, "RTI::FederateNotExecutionMember");
RTICLIENT_FAILURE_CLASS(FederatesCurrentlyJoined, "RTI::FederatesCurrentlyJoined");
RTICLIENT_FAILURE_CLASS(RTIinternalError, "RTI::RTIinternalError");
RTICLIENT_FAILURE_CLASS(NotInitialized, "RTIP::NotInitialized");
RTICLIENT_FAILURE_CLASS(FederationCountExceeded, "RTIP::FederationCountExceeded");
RTICLIENT_FAILURE_CLASS(MorvaReferenceNotInitialized, "RTIP::MorvaReferenceNotInitialized");

#undef RTICLIENT_FAILURE_CLASS

// Throws the RTIError subclass that `className` names (RTIError for any
// other name), keeping every field.
[[noreturn]] void throwFailure(uint32_t answerType, uint32_t serial, std::string reason,
                               std::string className);

class ConnectError : public Error {
  public:
    enum class Cause {
        Refused,       // nothing listens there (or a firewall said so)
        TimedOut,      // no answer to the connection attempt within the bound
        Unresolvable,  // the host name does not resolve to an IPv4 address
        Other,         // any other system error (systemError() says which)
    };
    ConnectError(std::string component, std::string detail, Cause cause, int systemError,
                 std::string host, uint16_t port);
    Cause cause() const { return cause_; }
    int systemError() const { return systemError_; }  // errno, 0 for Unresolvable
    const std::string& host() const { return host_; }
    uint16_t port() const { return port_; }

  private:
    Cause cause_;
    int systemError_;
    std::string host_;
    uint16_t port_;
};

class ConnectionLost : public Error {
  public:
    // `duringSend`: a send failed (the message may be partly written),
    // rather than a read seeing the end. `systemError`: errno, 0 when the
    // peer closed in order.
    ConnectionLost(std::string component, std::string operation, std::string detail,
                   bool duringSend = false, int systemError = 0);
    bool duringSend() const { return duringSend_; }
    int systemError() const { return systemError_; }

  private:
    bool duringSend_;
    int systemError_;
};

class NotConnected : public ConnectionLost {
  public:
    NotConnected(std::string component, std::string operation, std::string detail);
};

class Timeout : public Error {
  public:
    Timeout(std::string component, std::string operation, std::string detail, uint32_t requestType,
            unsigned milliseconds);
    uint32_t requestType() const { return requestType_; }
    unsigned milliseconds() const { return milliseconds_; }

  private:
    uint32_t requestType_;
    unsigned milliseconds_;
};

class ProtocolError : public Error {
  public:
    // `messageType`: the type of the offending message (0 if none arrived).
    ProtocolError(std::string component, std::string operation, std::string detail,
                  uint32_t messageType = 0);
    uint32_t messageType() const { return messageType_; }

  private:
    uint32_t messageType_;
};

class UnknownRequest : public ProtocolError {
  public:
    UnknownRequest(std::string component, std::string operation, std::string detail);
};

}  // namespace rticlient
