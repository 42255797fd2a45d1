"""The exceptions of rticlient.

Every failure is a ClientError. A server's refusal (a failure answer) is an
RTIError, or the subclass named after the failure class it carries; the
client's own failures are ConnectError, ConnectionLost, Timeout and
ProtocolError (UnknownRequest for a registry that does not know a request).
"""

from typing import Dict, Type


class ClientError(Exception):
    """Base of every error rticlient raises."""


class RTIError(ClientError):
    """A failure answer: the server refused the request.

    serial, reason and class_name are the server's; answer_type is the
    message type the answer came as (1000, 1001, ...).
    """

    def __init__(self, serial: int, reason: str, class_name: str, answer_type: int) -> None:
        super().__init__(f"{class_name} [{serial}] {reason}")
        self.serial = serial
        self.reason = reason
        self.class_name = class_name
        self.answer_type = answer_type


class FederationExecutionAlreadyExists(RTIError):
    """The execution name is already reserved or registered."""


class FederationExecutionDoesNotExist(RTIError):
    """No execution of that name."""


class FederateNotExecutionMember(RTIError):
    """The federate handle is not joined (on this connection)."""


class FederatesCurrentlyJoined(RTIError):
    """The execution cannot end while federates are joined."""


class RTIinternalError(RTIError):
    """The server could not do what was asked for an internal reason."""


class NotInitialized(RTIError):
    """The executive is not connected to the registry."""


class FederationCountExceeded(RTIError):
    """The registry already holds 20 executions."""


class MorvaReferenceNotInitialized(RTIError):
    """The execution is reserved but its executive has not registered yet."""


_BY_CLASS_NAME: Dict[str, Type[RTIError]] = {
    "RTI::FederationExecutionAlreadyExists": FederationExecutionAlreadyExists,
    "RTI::FederationExecutionDoesNotExist": FederationExecutionDoesNotExist,
    "RTI::FederateNotExecutionMember": FederateNotExecutionMember,
    "RTI::FederatesCurrentlyJoined": FederatesCurrentlyJoined,
    "RTI::RTIinternalError": RTIinternalError,
    "RTIP::NotInitialized": NotInitialized,
    "RTIP::FederationCountExceeded": FederationCountExceeded,
    "RTIP::MorvaReferenceNotInitialized": MorvaReferenceNotInitialized,
}


def failure(serial: int, reason: str, class_name: str, answer_type: int) -> RTIError:
    """The RTIError subclass the class name names (RTIError for others)."""
    cls = _BY_CLASS_NAME.get(class_name, RTIError)
    return cls(serial, reason, class_name, answer_type)


class ConnectError(ClientError):
    """The connection could not be made.

    cause is "refused", "timed out", "unresolvable" or "failed".
    """

    def __init__(self, message: str, cause: str) -> None:
        super().__init__(message)
        self.cause = cause


class ConnectionLost(ClientError):
    """The peer closed or reset the connection, a send failed, or the
    object was used after close()."""


class Timeout(ClientError):
    """No answer within the timeout; the connection has been closed, so a
    late answer can never pass for the next request's."""


class ProtocolError(ClientError):
    """An answer that does not decode, is of an unexpected type, or
    announces more than 16 MiB. The connection has been closed."""


class UnknownRequest(ProtocolError):
    """The registry answered 1008: it does not know the request."""
