"""rticlient: a client of the registry (quorvex) and executive (morva) of
federation executions, in pure standard-library Python.

    from rticlient import Registry, Executive

    with Registry("127.0.0.1", 9000) as reg:
        reg.reserve("demo")
    with Executive.lookup(("127.0.0.1", 9000), "demo") as ex:
        handle = ex.join("me")
        ex.send(600, b"hello")
        print(ex.receive(1.0))
        ex.resign()
"""

from .client import Executive, Registry
from .errors import (
    ClientError,
    ConnectError,
    ConnectionLost,
    FederateNotExecutionMember,
    FederatesCurrentlyJoined,
    FederationCountExceeded,
    FederationExecutionAlreadyExists,
    FederationExecutionDoesNotExist,
    MorvaReferenceNotInitialized,
    NotInitialized,
    ProtocolError,
    RTIError,
    RTIinternalError,
    Timeout,
    UnknownRequest,
)
from .wire import (
    AdoptOffer,
    Execution,
    Federate,
    Message,
    Reference,
    TableEntry,
    decode_adopt_offer,
    decode_federate_left,
    trailing_vector,
)

__version__ = "1.0.0"

__all__ = [
    "AdoptOffer",
    "ClientError",
    "ConnectError",
    "ConnectionLost",
    "Execution",
    "Executive",
    "Federate",
    "FederateNotExecutionMember",
    "FederatesCurrentlyJoined",
    "FederationCountExceeded",
    "FederationExecutionAlreadyExists",
    "FederationExecutionDoesNotExist",
    "Message",
    "MorvaReferenceNotInitialized",
    "NotInitialized",
    "ProtocolError",
    "RTIError",
    "RTIinternalError",
    "Reference",
    "Registry",
    "TableEntry",
    "Timeout",
    "UnknownRequest",
    "decode_adopt_offer",
    "decode_federate_left",
    "trailing_vector",
]
