"""Registry and Executive: one TCP connection each, one request at a time.

Not thread-safe: use one object from one thread at a time (several objects
on several threads are independent). Nothing here starts a thread.
"""

import collections
import socket
import time
from types import TracebackType
from typing import Callable, Deque, List, Optional, Tuple, Type, TypeVar, Union

from . import wire
from .errors import (
    ConnectError,
    ConnectionLost,
    ProtocolError,
    Timeout,
    UnknownRequest,
    failure,
)
from .wire import Execution, Federate, Message, Reference, TableEntry

_FAILURE_ANSWERS = (1000, 1006, 1007)
_Self = TypeVar("_Self", bound="_Client")
_T = TypeVar("_T")


class _Connection:
    """The socket, whole-message sends, and a reader that keeps partial
    messages until they are complete."""

    def __init__(self, host: str, port: int, timeout: float) -> None:
        self.timeout = timeout
        self.buffer = wire.FrameBuffer()
        self.ended = False
        try:
            found = socket.getaddrinfo(host, port, socket.AF_INET, socket.SOCK_STREAM)
        except (socket.gaierror, UnicodeError) as e:
            raise ConnectError(f"cannot resolve host {host}: {e}", "unresolvable") from None
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.settimeout(timeout)
        try:
            sock.connect(found[0][4])
        except socket.timeout:
            sock.close()
            raise ConnectError(f"cannot connect to {host}:{port}: timed out", "timed out") from None
        except ConnectionRefusedError as e:
            sock.close()
            raise ConnectError(f"cannot connect to {host}:{port}: {e.strerror}", "refused") from None
        except OSError as e:
            sock.close()
            raise ConnectError(f"cannot connect to {host}:{port}: {e.strerror}", "failed") from None
        self.sock: Optional[socket.socket] = sock

    def close(self) -> None:
        if self.sock is not None:
            self.sock.close()
            self.sock = None

    def send(self, msg_type: int, payload: bytes) -> None:
        data = wire.frame(msg_type, bytes(payload))
        if self.sock is None:
            raise ConnectionLost("not connected")
        try:
            self.sock.settimeout(self.timeout)
            self.sock.sendall(data)
        except OSError as e:
            # A partly written message leaves the stream unusable.
            self.close()
            raise ConnectionLost(f"send of message {msg_type} failed: {e}") from None

    def read(self, deadline: float) -> Optional[Message]:
        """The next whole message before `deadline` (time.monotonic()), or
        None when the time runs out. Whole messages already received come
        first, also after the peer closed; then ConnectionLost."""
        while True:
            try:
                m = self.buffer.take()
            except ProtocolError:
                self.close()
                raise
            if m is not None:
                return m
            if self.ended or self.sock is None:
                self.close()
                raise ConnectionLost("the connection was closed by the peer")
            left = deadline - time.monotonic()
            # At the deadline the socket is still looked at once, so an
            # answer already there is taken rather than reported as late.
            self.sock.settimeout(max(left, 0.0) or 0.0)
            try:
                chunk = self.sock.recv(self.buffer.wanted())
            except (socket.timeout, BlockingIOError):
                return None
            except OSError as e:
                self.close()
                raise ConnectionLost(f"connection broken: {e}") from None
            if not chunk:
                self.ended = True
            else:
                self.buffer.feed(chunk)


class _Client:
    _conn: Optional[_Connection]

    def __init__(self, host: str, port: int, timeout: float = 5.0) -> None:
        self.timeout = timeout
        self._conn = _Connection(host, port, timeout)

    def close(self) -> None:
        """Closes the connection; safe to call more than once."""
        if self._conn is not None:
            self._conn.close()
            self._conn = None

    @property
    def connected(self) -> bool:
        return self._conn is not None and self._conn.sock is not None

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        self.close()

    def _live(self) -> _Connection:
        if self._conn is None or self._conn.sock is None and not self._conn.buffer.data:
            raise ConnectionLost("not connected")
        self._conn.timeout = self.timeout
        return self._conn

    def _raise_failure(self, m: Message) -> None:
        try:
            serial, reason, class_name = wire.decode_failure(m.payload)
        except ProtocolError as e:
            self.close()
            raise ProtocolError(f"failure answer {m.type} does not decode: {e}") from None
        raise failure(serial, reason, class_name, m.type)

    def _timed_out(self, request: int) -> Timeout:
        # Closed: a late answer must not pass for the next request's.
        self.close()
        return Timeout(f"no answer to {request} within {self.timeout:g} s")


class Registry(_Client):
    """A client of the registry of federation executions (quorvex).

    Registry(host, port, timeout=5.0) connects at once (ConnectError);
    timeout bounds the connect and every wait for a reply (Timeout, and the
    connection is closed). Refusals raise the RTIError subclass they name.
    """

    def _expect(self, request: int, payload: bytes, reply: int) -> bytes:
        conn = self._live()
        conn.send(request, payload)
        m = conn.read(time.monotonic() + self.timeout)
        if m is None:
            raise self._timed_out(request)
        if m.type == reply:
            return m.payload
        if 1000 <= m.type < 1008:
            self._raise_failure(m)
        self.close()
        if m.type == wire.UNKNOWN_REQUEST:
            raise UnknownRequest(f"the registry does not know request {request} (reply 1008)")
        raise ProtocolError(f"unexpected reply type {m.type} (expected {reply})")

    def reserve(self, name: str) -> None:
        """900: reserves the execution name."""
        self._expect(900, wire.string(name), 901)

    def register(self, name: str, host: str, port: int, address: Optional[str] = None) -> str:
        """902: registers host:port as the executive of the reserved name;
        returns the best-effort address (dotted). With address, asks for the
        one the executive held before (registries that cannot, ignore it)."""
        payload = wire.string(name) + wire.reference(host, port)
        if address is not None:
            payload += wire.address(address)
        answer = self._expect(902, payload, 903)
        return self._decode(lambda: wire.Reader(answer).address())

    def lookup(self, name: str) -> Reference:
        """904: the reference of the executive serving name."""
        answer = self._expect(904, wire.string(name), 905)
        return self._decode(lambda: wire.Reader(answer).reference())

    def list(self) -> List[Execution]:
        """906: the registered executions in slot order."""
        answer = self._expect(906, b"", 907)
        entries = self._decode(lambda: wire.Reader(answer).entries())
        return [Execution(name, ref.host, ref.port) for name, ref in entries]

    def execution_table(self) -> List[TableEntry]:
        """960: every entry, reserved and lost ones included (the extended
        table; a registry that predates it shows a lost entry as
        registered, with grace 0)."""
        answer = self._expect(960, wire.u32(1), 961)
        try:
            return wire.decode_table(answer, True)
        except ProtocolError:
            return self._decode(lambda: wire.decode_table(answer, False))

    def obituary(self, name: str) -> None:
        """908: reports that the execution has ended; never answered. The
        registry takes it only from the connection that registered or
        reserved the name."""
        self._live().send(908, wire.string(name))

    def request(self, msg_type: int, payload: bytes = b"") -> Message:
        """Any request: the one reply, failure answers included."""
        conn = self._live()
        conn.send(msg_type, payload)
        m = conn.read(time.monotonic() + self.timeout)
        if m is None:
            raise self._timed_out(msg_type)
        return m

    def _decode(self, fn: Callable[[], _T]) -> _T:
        try:
            return fn()
        except ProtocolError as e:
            self.close()
            raise ProtocolError(f"reply does not decode: {e}") from None


class Executive(_Client):
    """A federate's client of the executive of one execution (morva).

    Executive(host, port, timeout=5.0) connects at once; or
    Executive.lookup(registry, name) finds the executive through the
    registry. Messages that arrive while a request waits for its answer
    (relays, 132, 518) are kept for receive(), in order. A failure answer
    arriving while a request waits is that request's refusal, so read the
    answers to raw send()s before the next request.
    """

    def __init__(self, host: str, port: int, timeout: float = 5.0) -> None:
        super().__init__(host, port, timeout)
        self._kept: Deque[Message] = collections.deque()
        self.handle = 0  # the handle joined on this connection, 0 if none

    @classmethod
    def lookup(
        cls,
        registry: Union[Registry, Tuple[str, int]],
        name: str,
        timeout: Optional[float] = None,
    ) -> "Executive":
        """Looks name up in registry (a Registry, or its (host, port)) and
        connects to its executive; timeout defaults to the registry's (or
        5 s)."""
        if isinstance(registry, Registry):
            limit = registry.timeout if timeout is None else timeout
            ref = registry.lookup(name)
        else:
            limit = 5.0 if timeout is None else timeout
            with Registry(registry[0], registry[1], limit) as reg:
                ref = reg.lookup(name)
        return cls(ref.host, ref.port, limit)

    def _request(self, request: int, payload: bytes, answer: int) -> bytes:
        conn = self._live()
        conn.send(request, payload)
        deadline = time.monotonic() + self.timeout
        while True:
            try:
                m = conn.read(deadline)
            except ConnectionLost:
                self.close()
                raise ConnectionLost(
                    f"the executive closed the connection before answering {request}"
                ) from None
            if m is None:
                raise self._timed_out(request)
            if m.type == answer:
                return m.payload
            if m.type in _FAILURE_ANSWERS:
                self._raise_failure(m)
            self._kept.append(m)

    def _decode(self, answer: int, fn: Callable[[], _T]) -> _T:
        try:
            return fn()
        except ProtocolError as e:
            self.close()
            raise ProtocolError(f"answer {answer} does not decode: {e}") from None

    def join(self, name: str) -> int:
        """500: joins as federate name; the handle, 0 when the execution
        already has 20 federates."""
        payload = self._request(500, wire.string(name), 501)
        handle: int = self._decode(501, lambda: wire.Reader(payload).u16())
        if handle:
            self.handle = handle
        return handle

    def resign(self, handle: Optional[int] = None) -> None:
        """504: resigns (the handle joined here by default); the executive
        then closes the connection."""
        h = self.handle if handle is None else handle
        self._request(504, wire.u32(h), 505)
        if h == self.handle:
            self.handle = 0

    def best_effort_address(self) -> str:
        payload = self._request(502, b"", 503)
        address: str = self._decode(503, lambda: wire.Reader(payload).address())
        return address

    def allocate_number(self) -> int:
        """506: the next number of the execution's counter."""
        payload = self._request(506, b"", 507)
        number: int = self._decode(507, lambda: wire.Reader(payload).u32())
        return number

    def vector(self) -> List[int]:
        """510: the joined handles, ascending."""
        payload = self._request(510, b"", 511)
        handles: List[int] = self._decode(511, lambda: wire.Reader(payload).vector())
        return handles

    def federates(self) -> List[Federate]:
        """508 with 510: the joined federates with their handles. The list
        carries no handles, so it counts only when the vector is the same
        before and after it."""
        before = self.vector()
        for _ in range(5):
            payload = self._request(508, b"", 509)
            entries = self._decode(509, lambda: wire.Reader(payload).entries())
            after = self.vector()
            if after == before and len(after) == len(entries):
                return [
                    Federate(h, name, ref.host, ref.port) for h, (name, ref) in zip(after, entries)
                ]
            before = after
        raise ProtocolError("the federates kept changing while listed")

    def reference(self, handle: int) -> Reference:
        """512: the far end of federate handle's connection."""
        payload = self._request(512, wire.u32(handle), 513)
        ref: Reference = self._decode(513, lambda: wire.Reader(payload).reference())
        return ref

    def destroy(self) -> None:
        """514: ends the execution; refused while federates are joined."""
        self._request(514, b"", 515)

    def disconnect(self, handle: Optional[int] = None) -> None:
        """516: leaves without resigning; the executive closes the connection."""
        self._live().send(516, wire.u32(self.handle if handle is None else handle))

    def orphaned_attributes(
        self, former_owner: int, object_id: int, tag: int, attributes: List[int]
    ) -> None:
        """517: attributes of object_id that former_owner left."""
        payload = wire.u32(former_owner) + wire.u32(object_id) + wire.u32(tag)
        payload += wire.u32(len(attributes)) + b"".join(wire.u32(a) for a in attributes)
        self._live().send(517, payload)

    def send(self, msg_type: int, payload: bytes = b"") -> None:
        """Any type with any payload, sent as given (ValueError above 16 MiB)."""
        self._live().send(msg_type, payload)

    def receive(self, timeout: float) -> Optional[Message]:
        """The next message not taken by a request, waiting up to timeout
        seconds; None when the time runs out. ConnectionLost once the
        executive has closed and everything received was delivered."""
        if self._kept:
            return self._kept.popleft()
        conn = self._live()
        try:
            return conn.read(time.monotonic() + timeout)
        except ConnectionLost:
            self.close()
            raise ConnectionLost("the executive closed the connection") from None


