#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: small valid messages in the
wire format (docs/wire-format.md), one file each, under fuzz/corpus/<target>/.
Run it again after changing a seed; the files are kept in the repository."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u32(v):
    return struct.pack(">I", v)


def counted(text):
    b = text.encode() + b"\0"
    return u32(len(b)) + b + b"\0" * (-len(b) % 4)


def ref(port, host):
    return u32(port) + counted(host)


def frame(t, payload=b""):
    return u32(t) + u32(len(payload)) + payload


def vector(handles):
    flags = bytes(1 if h in handles else 0 for h in range(21))
    return u32(21) + flags + b"\0\0\0"


def exception(serial, reason, name):
    return u32(serial) + counted(reason) + counted(name)


def handle_set(handles):
    return u32(len(handles)) + b"".join(u32(h) for h in handles)


def entries(items):
    return u32(len(items)) + b"".join(counted(n) + ref(p, h) for n, p, h in items)


SEEDS = {
    "strings": {
        "empty": counted(""),
        "abc": counted("abc"),
        "three": counted("abcd") + counted("") + counted("x" * 63),
    },
    "references": {
        "empty": ref(0, "") + bytes([236, 236, 0, 1]),
        "vm": ref(40123, "vm") + bytes([10, 0, 0, 7]),
        "longest": ref(65535, "h" * 49) + bytes(4),
    },
    "lists": {
        "none": u32(0),
        "one": entries([("fed", 7, "h")]),
        "three": entries([("alpha", 4000, "host"), ("beta", 4001, "vm"), ("g" * 63, 1, "")]),
    },
    "exceptions": {
        "generic": exception(1, "x", "RTI::Exception"),
        "joined": exception(23806, "RTIMorvaImpl::destroyFederationExecution: Still have federates joined",
                            "RTI::FederatesCurrentlyJoined"),
        "unknown": exception(7, "", "Some::Other"),
    },
    "handle_sets": {
        "none": handle_set([]),
        "two": handle_set([1, 0x01020304]),
        "report": u32(2) + u32(77) + u32(5) + handle_set([1, 2, 3]),
    },
    "federate_vector": {
        "none": vector([]),
        "ends": vector([1, 20]),
        "all": vector(range(1, 21)),
    },
    "frames": {
        # Two seed bytes for the piece sizes, one for the kept frames, then the stream.
        "requests": b"\x01\x02\xff" + frame(500, counted("fed")) + frame(510) + frame(600, b"abcd" * 10),
        "relays": b"\x07\x07\x55" + b"".join(frame(600 + i, bytes(i * 13)) for i in range(12)),
        "oversize": b"\x00\x09\x01" + frame(600, b"x") + u32(600) + u32(16 * 1024 * 1024 + 1),
        "split": b"\x00\x00\x03" + frame(127, b"roll") + frame(129, b"") + frame(132, u32(3)),
    },
    "registry_requests": {
        "life": frame(900, counted("fed")) + frame(902, counted("fed") + ref(40123, "vm"))
        + frame(904, counted("fed")) + frame(906) + frame(908, counted("fed")),
        "refusals": frame(900, counted("beta")) + frame(904, counted("alpha")) + frame(904, counted("nobody"))
        + frame(902, counted("nobody") + ref(1, "h")) + frame(777),
        "malformed": frame(900, b"\x00\x00\x00\x09ab") + frame(902, counted("a")) + frame(904, b""),
    },
    "executive_requests": {
        # Each record: one byte choosing the connection, then a frame.
        "join_and_ask": b"\x00" + frame(500, counted("alpha")) + b"\x01" + frame(500, counted("beta"))
        + b"\x00" + frame(502) + b"\x00" + frame(506) + b"\x01" + frame(508) + b"\x01" + frame(510)
        + b"\x00" + frame(512, u32(2)),
        "relays": b"\x00" + frame(500, counted("a")) + b"\x01" + frame(500, counted("b"))
        + b"\x00" + frame(127, b"rc") + b"\x01" + frame(129, b"") + b"\x02" + frame(128, b"roster")
        + b"\x00" + frame(600, b"data") + b"\x01" + frame(1000, b""),
        "orphans": b"\x00" + frame(500, counted("a")) + b"\x01" + frame(500, counted("b"))
        + b"\x00" + frame(517, u32(1) + u32(99) + u32(3) + handle_set([4, 5]))
        + b"\x00" + frame(504, u32(1)) + b"\x01" + frame(127, b"") + b"\x01" + frame(129, b"")
        + b"\x01" + frame(600, b""),
        "leave": b"\x00" + frame(500, counted("a")) + b"\x00" + frame(516, u32(1))
        + b"\x01" + frame(514) + b"\x02" + frame(504, u32(9)) + b"\x02" + frame(512, b"")
        + b"\x01" + frame(500, b"\x00\x00\x00\x40"),
    },
    "executive_console": {
        "all": b"\x05help\nlist\nref 1\nref 2\nref 9\nremove 2\norphan\ntrace\ntrace\nquit\n\nbogus\nref\n",
        "long": b"\x03" + b"r" * 300 + b"\nrefresh 1\nremove 1\nlist",
    },
    "registry_console": {
        "all": b"\x05help\nlist\nref beta\nref alpha\nref nobody\nremove alpha\nremove\nref\n   \nQUIT\n",
        "long": b"\x03" + b"ref " + b"b" * 300 + b"\n\tlist\tx\nremove beta extra\nquit\nlist",
    },
}

for target, seeds in SEEDS.items():
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
