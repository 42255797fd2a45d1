#include "rticlient/Errors.h"

#include "rticlient/Types.h"

namespace rticlient {

Error::Error(std::string component, std::string operation, std::string detail)
    : std::runtime_error("rticlient::" + component + "::" + operation + ": " + detail),
      component_(std::move(component)),
      operation_(std::move(operation)),
      detail_(std::move(detail)) {}

Error::Error(const std::string& what) : std::runtime_error(what) {}

RTIError::RTIError(uint32_t answerType, uint32_t serial, std::string reason, std::string className)
    : Error(className + " [" + std::to_string(serial) + "] " + reason),
      answerType_(answerType),
      serial_(serial),
      reason_(std::move(reason)),
      className_(std::move(className)) {}

void throwFailure(uint32_t answerType, uint32_t serial, std::string reason, std::string className) {
    // By the class name, as the servers mean it: the answer type only
    // repeats it (1000 carries any class).
#define RTICLIENT_THROW_IF(Class) \
    if (className == Class::kClassName) throw Class(answerType, serial, std::move(reason))
    RTICLIENT_THROW_IF(FederationExecutionAlreadyExists);
    RTICLIENT_THROW_IF(FederationExecutionDoesNotExist);
    RTICLIENT_THROW_IF(FederateNotExecutionMember);
    RTICLIENT_THROW_IF(FederatesCurrentlyJoined);
    RTICLIENT_THROW_IF(RTIinternalError);
    RTICLIENT_THROW_IF(NotInitialized);
    RTICLIENT_THROW_IF(FederationCountExceeded);
    RTICLIENT_THROW_IF(MorvaReferenceNotInitialized);
#undef RTICLIENT_THROW_IF
    throw RTIError(answerType, serial, std::move(reason), std::move(className));
}

ConnectError::ConnectError(std::string component, std::string detail, Cause cause, int systemError,
                           std::string host, uint16_t port)
    : Error(std::move(component), "connect", std::move(detail)),
      cause_(cause),
      systemError_(systemError),
      host_(std::move(host)),
      port_(port) {}

ConnectionLost::ConnectionLost(std::string component, std::string operation, std::string detail,
                               bool duringSend, int systemError)
    : Error(std::move(component), std::move(operation), std::move(detail)),
      duringSend_(duringSend),
      systemError_(systemError) {}

NotConnected::NotConnected(std::string component, std::string operation, std::string detail)
    : ConnectionLost(std::move(component), std::move(operation), std::move(detail)) {}

Timeout::Timeout(std::string component, std::string operation, std::string detail,
                 uint32_t requestType, unsigned milliseconds)
    : Error(std::move(component), std::move(operation), std::move(detail)),
      requestType_(requestType),
      milliseconds_(milliseconds) {}

ProtocolError::ProtocolError(std::string component, std::string operation, std::string detail,
                             uint32_t messageType)
    : Error(std::move(component), std::move(operation), std::move(detail)),
      messageType_(messageType) {}

UnknownRequest::UnknownRequest(std::string component, std::string operation, std::string detail)
    : ProtocolError(std::move(component), std::move(operation), std::move(detail),
                    msg::kUnknownRequest) {}

}  // namespace rticlient
