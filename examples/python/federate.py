#!/usr/bin/env python3
"""A small federate: finds its execution through the registry, joins, sends
a message for the others, starts a roll call (relayed to every federate,
this one included), prints what comes back, and resigns.

    python3 federate.py REGISTRY_HOST REGISTRY_PORT EXECUTION FEDERATE
"""

import sys
import time

import rticlient


def main() -> int:
    if len(sys.argv) != 5:
        print("usage: federate.py REGISTRY_HOST REGISTRY_PORT EXECUTION FEDERATE", file=sys.stderr)
        return 2
    host, port, execution, name = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    try:
        with rticlient.Executive.lookup((host, port), execution) as ex:
            handle = ex.join(name)
            if handle == 0:
                print("the execution is full", file=sys.stderr)
                return 1
            print(f"joined {execution} as federate {handle}", flush=True)
            ex.send(600, f"hello from {name}".encode())  # to every other connection
            ex.send(127, b"roll call")  # to every connection, this one too
            deadline = time.monotonic() + 5.0
            while time.monotonic() < deadline:
                m = ex.receive(0.5)
                if m is None or m.type != 127:
                    continue
                body, joined = rticlient.trailing_vector(m.payload)
                print(f"roll call {body.decode()!r}, joined: {joined}", flush=True)
                break
            ex.resign()
            print("resigned", flush=True)
            return 0
    except rticlient.RTIError as e:
        print(f"refused: {e.class_name} [{e.serial}] {e.reason}", file=sys.stderr)
    except rticlient.ClientError as e:
        print(f"failed: {e}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
