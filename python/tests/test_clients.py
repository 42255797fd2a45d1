"""Registry and Executive against the real quorvex and morva."""

import os
import socket
import sys
import threading
import time
import unittest

import rticlient
from rticlient import Execution, Federate, Message, Reference
from servers import WAIT, Site, free_port


class InstalledPackage(unittest.TestCase):
    def test_the_package_under_test_is_the_installed_one(self) -> None:
        # The runner installs the package into a fresh environment; tests
        # that found the sources instead would hide a broken install.
        here = os.path.realpath(rticlient.__file__)
        self.assertTrue(here.startswith(os.path.realpath(sys.prefix)), here)
        self.assertTrue(os.path.exists(os.path.join(os.path.dirname(here), "py.typed")))


class SiteTest(unittest.TestCase):
    def setUp(self) -> None:
        self.site = Site()
        self.addCleanup(self.site.stop)

    def registry(self) -> rticlient.Registry:
        reg = rticlient.Registry("127.0.0.1", self.site.registry_port, timeout=WAIT)
        self.addCleanup(reg.close)
        return reg

    def executive(self) -> rticlient.Executive:
        ex = rticlient.Executive.lookup(
            ("127.0.0.1", self.site.registry_port), self.site.name, timeout=WAIT
        )
        self.addCleanup(ex.close)
        return ex


class RegistryTest(SiteTest):
    def test_life_of_an_entry_and_typed_refusals(self) -> None:
        with rticlient.Registry("127.0.0.1", self.site.registry_port) as reg:
            reg.reserve("a")
            with self.assertRaises(rticlient.FederationExecutionAlreadyExists) as cm:
                reg.reserve("a")
            e = cm.exception
            self.assertIsInstance(e, rticlient.RTIError)
            self.assertEqual(
                (e.serial, e.reason, e.class_name, e.answer_type),
                (12100, "QuorvexImpl::reserveFederationExecution",
                 "RTI::FederationExecutionAlreadyExists", 1001),
            )
            with self.assertRaises(rticlient.MorvaReferenceNotInitialized) as cm2:
                reg.lookup("a")
            self.assertEqual((cm2.exception.serial, cm2.exception.answer_type), (12105, 1002))
            # The connection stays usable after refusals.
            self.assertEqual(reg.register("a", "h", 7), "236.236.0.2")
            self.assertEqual(reg.lookup("a"), Reference("h", 7))
            reg.reserve("r")
            self.assertEqual(
                reg.list(),
                [Execution(self.site.name, self.site.executive.host, self.site.executive.port),
                 Execution("a", "h", 7)],
            )
            table = reg.execution_table()
            self.assertEqual([(t.state, t.name) for t in table],
                             [("registered", self.site.name), ("registered", "a"),
                              ("reserved", "r")])
            self.assertEqual((table[1].host, table[1].port, table[2].port), ("h", 7, 0))
            with self.assertRaises(rticlient.FederationExecutionDoesNotExist):
                reg.lookup("nobody")
            self.assertEqual(reg.request(950), Message(1008, b""))
        self.assertFalse(reg.connected)
        with self.assertRaises(rticlient.ConnectionLost):
            reg.list()

    def test_obituary_of_the_registering_connection_frees_the_name(self) -> None:
        reg = self.registry()
        reg.reserve("short")
        reg.register("short", "h", 9)
        reg.obituary("short")
        self.assertIsNotNone(self.site.quorvex.wait_line("LOG removing morva short"))
        with self.assertRaises(rticlient.FederationExecutionDoesNotExist):
            reg.lookup("short")


class ExecutiveTest(SiteTest):
    def test_join_send_receive_requests_and_resign(self) -> None:
        a, b = self.executive(), self.executive()
        self.assertEqual(a.join("alpha"), 1)
        self.assertEqual(b.join("beta"), 2)
        self.assertEqual(b.handle, 2)
        a.send(600, b"hi \x00 there")
        self.assertEqual(b.receive(WAIT), Message(600, b"hi \x00 there"))
        self.assertIsNone(b.receive(0.1), "nothing else arrived")

        self.assertEqual(b.vector(), [1, 2])
        b_ref = a.reference(2)
        self.assertEqual(b_ref.port, b._conn.sock.getsockname()[1])  # type: ignore
        fed = b.federates()
        self.assertEqual([(f.handle, f.name) for f in fed], [(1, "alpha"), (2, "beta")])
        self.assertEqual(fed[1], Federate(2, "beta", b_ref.host, b_ref.port))
        self.assertEqual([a.allocate_number(), b.allocate_number()], [1, 2])
        self.assertEqual(a.best_effort_address(), "236.236.0.1")

        # A roll call comes back to its sender too, with the joined handles.
        a.send(127, b"rc")
        m = a.receive(WAIT)
        assert m is not None
        self.assertEqual(rticlient.trailing_vector(m.payload), (b"rc", [1, 2]))
        self.assertEqual(b.receive(WAIT).type, 127)  # type: ignore[union-attr]

        b.resign()
        self.assertEqual(b.handle, 0)
        left = a.receive(WAIT)
        assert left is not None
        self.assertEqual((left.type, rticlient.decode_federate_left(left.payload)), (132, 2))
        # The executive closed b's connection after the resignation.
        with self.assertRaises(rticlient.ConnectionLost):
            b.receive(WAIT)

    def test_refusals_keep_or_end_the_connection_as_the_executive_says(self) -> None:
        a = self.executive()
        a.join("alpha")
        with self.assertRaises(rticlient.FederateNotExecutionMember) as cm:
            a.reference(9)
        self.assertEqual((cm.exception.answer_type, cm.exception.serial), (1006, 23802))
        self.assertEqual(a.allocate_number(), 1, "the connection stays open")

        d = self.executive()
        with self.assertRaises(rticlient.FederatesCurrentlyJoined) as cm2:
            d.destroy()
        self.assertEqual(cm2.exception.answer_type, 1007)
        a.resign()
        self.executive().destroy()
        assert self.site.morva is not None
        self.assertEqual(self.site.morva.proc.wait(WAIT), 0)

    def test_offer_of_orphaned_attributes_is_decoded(self) -> None:
        a, b = self.executive(), self.executive()
        a.join("alpha")
        b.join("beta")
        a.orphaned_attributes(1, 99, 5, [1, 2])
        a.send(600, b"x")  # a relay by the owner hands the entry to another federate
        kinds = {}
        deadline = time.monotonic() + WAIT
        while 518 not in kinds and time.monotonic() < deadline:
            m = b.receive(0.5)
            if m is not None:
                kinds[m.type] = m
        self.assertIn(518, kinds)
        self.assertEqual(rticlient.decode_adopt_offer(kinds[518].payload),
                         rticlient.AdoptOffer(99, 5, (1, 2)))

    def test_removal_by_the_operator_is_a_lost_connection(self) -> None:
        a = self.executive()
        a.join("alpha")
        assert self.site.morva is not None
        self.site.morva.write("remove 1\n")
        start = time.monotonic()
        with self.assertRaises(rticlient.ConnectionLost):
            while time.monotonic() - start < WAIT:
                a.receive(0.5)
        with self.assertRaises(rticlient.ConnectionLost):
            a.allocate_number()


class ConnectionFailures(unittest.TestCase):
    def test_refused_unresolvable_and_silent_peers(self) -> None:
        with self.assertRaises(rticlient.ConnectError) as cm:
            rticlient.Registry("127.0.0.1", free_port(), timeout=2.0)
        self.assertEqual(cm.exception.cause, "refused")
        with self.assertRaises(rticlient.ConnectError) as cm:
            rticlient.Executive("no-such-host.invalid", 1, timeout=2.0)
        self.assertEqual(cm.exception.cause, "unresolvable")

        # A peer that accepts and never answers: the timeout bounds the wait
        # and the connection is closed, so a late answer cannot be mistaken.
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        self.addCleanup(listener.close)
        port = listener.getsockname()[1]
        ex = rticlient.Executive("127.0.0.1", port, timeout=0.3)
        start = time.monotonic()
        with self.assertRaises(rticlient.Timeout):
            ex.allocate_number()
        self.assertLess(time.monotonic() - start, WAIT)
        self.assertFalse(ex.connected)
        with self.assertRaises(rticlient.ConnectionLost):
            ex.allocate_number()


if __name__ == "__main__":
    unittest.main()
