"""The wire format: framing and field encodings, and the decoders of every
answer and notice. Decoders raise ProtocolError (never struct.error,
IndexError or UnicodeDecodeError) and never read past the bytes given.

Texts travel as plain bytes; they are decoded as UTF-8 with surrogate
escapes, so any bytes round-trip through str unchanged.
"""

import struct
from typing import List, NamedTuple, Optional, Tuple

from .errors import ProtocolError

MAX_PAYLOAD = 16 * 1024 * 1024  # bytes in one message; exactly this is allowed
MAX_NAME = 63
MAX_HOST = 49
MAX_HANDLE = 20
HEADER = struct.Struct(">II")
VECTOR_SIZE = 28

# Failure answers (1008 is the registry's "unknown request").
EXCEPTION = 1000
UNKNOWN_REQUEST = 1008


class Reference(NamedTuple):
    host: str
    port: int


class Execution(NamedTuple):
    name: str
    host: str
    port: int


class Federate(NamedTuple):
    handle: int
    name: str
    host: str
    port: int


class Message(NamedTuple):
    type: int
    payload: bytes


class TableEntry(NamedTuple):
    """One entry of the registry's execution table.

    state is "reserved", "registered" or "lost" (the registering connection
    was lost; the name is freed after grace seconds unless the executive
    registers again). grace is 0 for the other states.
    """

    state: str
    name: str
    host: str
    port: int
    grace: int


class AdoptOffer(NamedTuple):
    object_id: int
    tag: int
    attributes: Tuple[int, ...]


_STATES = {2: "reserved", 3: "registered", 4: "lost"}


def text(raw: bytes) -> str:
    return raw.decode("utf-8", "surrogateescape")


def raw(value: str) -> bytes:
    return value.encode("utf-8", "surrogateescape")


# --- Encoding ------------------------------------------------------------------


def u32(value: int) -> bytes:
    return struct.pack(">I", value & 0xFFFFFFFF)


def string(value: str) -> bytes:
    data = raw(value)
    n = len(data) + 1
    return u32(n) + data + b"\0" * (n + (-n % 4) - len(data))


def reference(host: str, port: int) -> bytes:
    return u32(port & 0xFFFF) + string(host)


def address(dotted: str) -> bytes:
    try:
        octets = bytes(int(part) for part in dotted.split("."))
    except ValueError:
        raise ValueError(f"not a dotted IPv4 address: {dotted!r}") from None
    if len(octets) != 4:
        raise ValueError(f"not a dotted IPv4 address: {dotted!r}")
    return octets


def frame(msg_type: int, payload: bytes) -> bytes:
    if len(payload) > MAX_PAYLOAD:
        raise ValueError("payload larger than 16 MiB")
    return HEADER.pack(msg_type & 0xFFFFFFFF, len(payload)) + payload


# --- Decoding ------------------------------------------------------------------


class Reader:
    """A cursor over a payload; every get checks the bytes left first."""

    def __init__(self, data: bytes) -> None:
        self.data = bytes(data)
        self.pos = 0

    def left(self) -> int:
        return len(self.data) - self.pos

    def u32(self) -> int:
        if self.left() < 4:
            raise ProtocolError("message too short")
        (value,) = struct.unpack_from(">I", self.data, self.pos)
        self.pos += 4
        return int(value)

    def u16(self) -> int:
        return self.u32() & 0xFFFF

    def string(self) -> str:
        if self.left() < 4:
            raise ProtocolError("string: fewer than 4 bytes for the count")
        (n,) = struct.unpack_from(">I", self.data, self.pos)
        if n == 0:
            raise ProtocolError("string: count 0")
        size = 4 + n + (-n % 4)
        if n > self.left() - 4 or size > self.left():
            raise ProtocolError("string: count exceeds the bytes left")
        body = self.data[self.pos + 4 : self.pos + 4 + n]
        if body[-1] != 0:
            raise ProtocolError("string: not NUL-terminated")
        if 0 in body[:-1]:
            raise ProtocolError("string: NUL inside the text")
        self.pos += size
        return text(body[:-1])

    def reference(self) -> Reference:
        port = self.u16()
        host = self.string()
        if len(raw(host)) > MAX_HOST:
            raise ProtocolError("reference: host longer than 49 characters")
        return Reference(host, port)

    def address(self) -> str:
        if self.left() < 4:
            raise ProtocolError("message too short")
        octets = self.data[self.pos : self.pos + 4]
        self.pos += 4
        return ".".join(str(b) for b in octets)

    def vector(self) -> List[int]:
        if self.u32() != MAX_HANDLE + 1:
            raise ProtocolError("federate vector: count is not 21")
        if self.left() < VECTOR_SIZE - 4:
            raise ProtocolError("federate vector: too short")
        flags = self.data[self.pos : self.pos + MAX_HANDLE + 1]
        if any(f > 1 for f in flags):
            raise ProtocolError("federate vector: flag byte not 0 or 1")
        self.pos += VECTOR_SIZE - 4
        return [h for h in range(1, MAX_HANDLE + 1) if flags[h]]

    def attribute_set(self) -> Tuple[int, ...]:
        count = self.u32()
        if count > self.left() // 4:
            raise ProtocolError("attribute handle set: count exceeds the bytes left")
        return tuple(self.u32() for _ in range(count))

    def entries(self) -> List[Tuple[str, Reference]]:
        count = self.u32()
        if count > self.left() // 20:
            raise ProtocolError("list: count exceeds the bytes left")
        out = []
        for _ in range(count):
            name = self.string()
            if len(raw(name)) > MAX_NAME:
                raise ProtocolError("list: name longer than 63 characters")
            out.append((name, self.reference()))
        return out


def decode_failure(payload: bytes) -> Tuple[int, str, str]:
    """A failure answer's serial, reason and class name."""
    r = Reader(payload)
    return r.u32(), r.string(), r.string()


def decode_table(payload: bytes, extended: bool) -> List[TableEntry]:
    """The execution table; the extended form is read strictly (every byte,
    grace only on lost entries), which today's form never passes once it
    holds an entry."""
    r = Reader(payload)
    count = r.u32()
    if count > r.left() // (24 + (4 if extended else 0)):
        raise ProtocolError("execution table: count exceeds the bytes left")
    out = []
    for _ in range(count):
        state = r.u32()
        if state not in _STATES or (state == 4 and not extended):
            raise ProtocolError(f"execution table: unknown state {state}")
        name = r.string()
        if len(raw(name)) > MAX_NAME:
            raise ProtocolError("execution table: name longer than 63 characters")
        ref = r.reference()
        grace = r.u32() if extended else 0
        if grace and state != 4:
            raise ProtocolError("execution table: grace on an entry that is not lost")
        out.append(TableEntry(_STATES[state], name, ref.host, ref.port, grace))
    if extended and r.left():
        raise ProtocolError("execution table: bytes after the last entry")
    return out


def decode_federate_left(payload: bytes) -> int:
    """132: the handle of the federate that left."""
    return Reader(payload).u16()


def decode_adopt_offer(payload: bytes) -> AdoptOffer:
    """518: an offer of attributes that lost their owner."""
    r = Reader(payload)
    object_id = r.u32()
    tag = r.u16()
    return AdoptOffer(object_id, tag, r.attribute_set())


def trailing_vector(payload: bytes) -> Tuple[bytes, List[int]]:
    """127 and 128 arrive with the federate vector appended: the sender's
    own payload and the joined handles."""
    if len(payload) < VECTOR_SIZE:
        raise ProtocolError("message too short for a federate vector")
    body = len(payload) - VECTOR_SIZE
    return bytes(payload[:body]), Reader(payload[body:]).vector()


class FrameBuffer:
    """Bytes received and not yet taken; whole messages come out of it."""

    def __init__(self) -> None:
        self.data = bytearray()

    def feed(self, chunk: bytes) -> None:
        self.data += chunk

    def take(self) -> Optional[Message]:
        """The next whole message, or None. Raises ProtocolError on a
        header announcing more than MAX_PAYLOAD (before reading it)."""
        if len(self.data) < HEADER.size:
            return None
        msg_type, length = HEADER.unpack_from(self.data, 0)
        if length > MAX_PAYLOAD:
            raise ProtocolError(f"a message announces {length} bytes, more than 16 MiB")
        end = HEADER.size + length
        if len(self.data) < end:
            return None
        payload = bytes(self.data[HEADER.size : end])
        del self.data[:end]
        return Message(int(msg_type), payload)

    def wanted(self) -> int:
        """How many bytes the message in hand still needs (at least a chunk)."""
        if len(self.data) >= HEADER.size:
            _, length = HEADER.unpack_from(self.data, 0)
            return max(65536, HEADER.size + min(int(length), MAX_PAYLOAD) - len(self.data))
        return 65536
