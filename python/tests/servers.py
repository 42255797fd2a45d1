"""The real quorvex and morva for the tests, from RTI_BIN_DIR, on 127.0.0.1."""

import os
import socket
import subprocess
import threading
import time
from typing import List, Optional

import rticlient

BIN = os.environ.get("RTI_BIN_DIR", "")
WAIT = 10.0  # bound for anything that should happen promptly on a busy machine


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


class Server:
    """A child process whose standard output is collected line by line."""

    def __init__(self, args: List[str]) -> None:
        self.proc = subprocess.Popen(
            args,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
        )
        self.lines: List[str] = []
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self) -> None:
        assert self.proc.stdout is not None
        for raw in self.proc.stdout:
            with self.cond:
                self.lines.append(raw.decode("utf-8", "replace"))
                self.cond.notify_all()

    def wait_line(self, needle: str, timeout: float = WAIT) -> Optional[str]:
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines:
                    if needle in line:
                        return line
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)

    def write(self, text: str) -> None:
        assert self.proc.stdin is not None
        self.proc.stdin.write(text.encode())
        self.proc.stdin.flush()

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(2)
            try:
                self.proc.wait(WAIT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(WAIT)
        for stream in (self.proc.stdin, self.proc.stdout):
            if stream is not None:
                stream.close()


class Site:
    """A registry and one execution `name` with its executive."""

    def __init__(self, name: str = "pyexec") -> None:
        self.name = name
        self.registry_port = free_port()
        self.quorvex = Server([os.path.join(BIN, "quorvex"), str(self.registry_port)])
        self.morva: Optional[Server] = None
        deadline = time.monotonic() + WAIT
        while True:
            try:
                with socket.create_connection(("127.0.0.1", self.registry_port), 1.0):
                    break
            except OSError:
                if time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError("quorvex did not start")
                time.sleep(0.05)
        with rticlient.Registry("127.0.0.1", self.registry_port) as reg:
            reg.reserve(name)
        self.morva = Server(
            [os.path.join(BIN, "morva"), name, "127.0.0.1", str(self.registry_port), "30"]
        )
        if self.morva.wait_line("LOG Morva started") is None:
            self.stop()
            raise RuntimeError("morva did not start")
        with rticlient.Registry("127.0.0.1", self.registry_port) as reg:
            self.executive = reg.lookup(name)

    def stop(self) -> None:
        if self.morva is not None:
            self.morva.stop()
        self.quorvex.stop()
