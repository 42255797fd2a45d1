"""The decoders over random and truncated answers: each returns a value or
raises ProtocolError, never another exception, and a client facing a peer
that sends such answers gets a clear error at once, never a hang."""

import random
import socket
import struct
import threading
import time
import unittest
from typing import Callable, List

import rticlient
from rticlient import wire

SEED = 20261209

DECODERS: List[Callable[[bytes], object]] = [
    lambda b: wire.decode_table(b, True),
    lambda b: wire.decode_table(b, False),
    wire.decode_failure,
    wire.decode_federate_left,
    wire.decode_adopt_offer,
    wire.trailing_vector,
    lambda b: wire.Reader(b).entries(),
    lambda b: wire.Reader(b).reference(),
    lambda b: wire.Reader(b).vector(),
    lambda b: wire.Reader(b).address(),
    lambda b: wire.Reader(b).string(),
]

# Valid encodings: each truncation of them must fail cleanly.
VALID = [
    wire.u32(2) + wire.u32(4) + wire.string("lost") + wire.reference("h", 7) + wire.u32(42)
    + wire.u32(2) + wire.string("r") + wire.reference("", 0) + wire.u32(0),
    wire.u32(7) + wire.string("why") + wire.string("RTI::Exception"),
    wire.u32(99) + wire.u32(5) + wire.u32(2) + wire.u32(1) + wire.u32(0x01020304),
    wire.u32(1) + wire.string("fed") + wire.reference("h\u00e9", 7),
    b"body" + wire.u32(21) + bytes([0, 1] + [0] * 18 + [1]) + b"\0\0\0",
]


def noisy(rng: random.Random) -> bytes:
    """Bytes biased towards what decoders look at: small counts, NULs, 21."""
    out = bytearray()
    for _ in range(rng.randrange(0, 16)):
        pick = rng.random()
        if pick < 0.4:
            out += struct.pack(">I", rng.choice([0, 1, 2, 3, 4, 5, 21, 64, 0xFFFFFFFF]))
        elif pick < 0.7:
            out += bytes(rng.choice([0, 1, 0x41, 0xFF]) for _ in range(rng.randrange(1, 5)))
        else:
            out += bytes(rng.randrange(256) for _ in range(rng.randrange(1, 9)))
    return bytes(out)


class DecoderProperties(unittest.TestCase):
    def check(self, decode: Callable[[bytes], object], payload: bytes) -> None:
        try:
            decode(payload)
        except rticlient.ProtocolError:
            pass
        except Exception as e:  # anything else is a fault of the decoder
            self.fail(f"{type(e).__name__}: {e} on {payload.hex()}")

    def test_random_payloads_decode_or_raise_protocol_error(self) -> None:
        rng = random.Random(SEED)
        for _ in range(3000):
            payload = noisy(rng)
            for decode in DECODERS:
                self.check(decode, payload)

    def test_every_truncation_of_a_valid_answer_is_refused_cleanly(self) -> None:
        decoders = [
            lambda b: wire.decode_table(b, True),
            wire.decode_failure,
            wire.decode_adopt_offer,
            lambda b: wire.Reader(b).entries(),
            wire.trailing_vector,
        ]
        for decode, full in zip(decoders, VALID):
            decode(full)  # the whole answer decodes
            for cut in range(len(full)):
                with self.assertRaises(rticlient.ProtocolError, msg=f"{cut} of {len(full)}"):
                    decode(full[:cut])

    def test_old_and_extended_tables_are_told_apart(self) -> None:
        old = wire.u32(2) + wire.u32(3) + wire.string("a") + wire.reference("h", 1)
        old += wire.u32(2) + wire.string("b") + wire.reference("", 0)
        with self.assertRaises(rticlient.ProtocolError):
            wire.decode_table(old, True)
        self.assertEqual([e.name for e in wire.decode_table(old, False)], ["a", "b"])
        lost = wire.decode_table(VALID[0], True)[0]
        self.assertEqual((lost.state, lost.grace), ("lost", 42))


class HostilePeer(unittest.TestCase):
    """A peer that answers every request with the next scripted bytes."""

    def serve(self, answers: List[bytes]) -> int:
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        self.addCleanup(listener.close)

        def run() -> None:
            for data in answers:
                try:
                    conn, _ = listener.accept()
                except OSError:
                    return
                with conn:
                    conn.recv(65536)
                    conn.sendall(data)
                    time.sleep(0.05)

        threading.Thread(target=run, daemon=True).start()
        return int(listener.getsockname()[1])

    def test_malformed_answers_raise_protocol_error_at_once(self) -> None:
        rng = random.Random(SEED)
        answers = [
            wire.HEADER.pack(905, 2 ** 24 + 1),  # announces more than 16 MiB
            wire.frame(905, b"\0\0\0\7\0\0\0\x09abc"),  # count past the end
            wire.frame(907, wire.u32(1000)),  # list count past the end
            wire.frame(1005, b"\0\0"),  # failure answer that does not decode
            wire.frame(999, b""),  # unexpected reply type
        ] + [wire.frame(905, noisy(rng)) for _ in range(15)]
        port = self.serve(answers)
        for data in answers:
            reg = rticlient.Registry("127.0.0.1", port, timeout=5.0)
            start = time.monotonic()
            try:
                if wire.HEADER.unpack_from(data)[0] == 907:
                    reg.list()
                else:
                    reg.lookup("x")
            except rticlient.ProtocolError:
                self.assertFalse(reg.connected, "a connection that misspoke is closed")
            except rticlient.ClientError as e:
                self.fail(f"{type(e).__name__} instead of ProtocolError: {e}")
            finally:
                reg.close()
            self.assertLess(time.monotonic() - start, 2.0, "answered at once, not by timeout")

    def test_a_peer_that_stops_mid_answer_is_a_lost_connection(self) -> None:
        whole = wire.frame(501, wire.u32(3))
        port = self.serve([whole[:5], whole[:10]])
        for _ in range(2):
            with rticlient.Executive("127.0.0.1", port, timeout=5.0) as ex:
                start = time.monotonic()
                with self.assertRaises(rticlient.ConnectionLost):
                    ex.join("x")
                self.assertLess(time.monotonic() - start, 2.0)


if __name__ == "__main__":
    unittest.main()
