"""A line whose other end is gone takes no more frames: over a real socat
pty pair whose socat is killed, no send reports success, whether a node
reconnects or not, and the asyncio node, the gateway's command runner and
the command line say so too."""

import asyncio
import contextlib
import io
import re
import signal
import unittest
from unittest import mock

import KorvaPy
import korva
import korva.aio
from korva import cli, frame
from korva.gateway import commands as gateway_commands
from korva_servers import HAVE_SERVERS, socat_ptys, wait_until

SUCCESS, TIMEOUT = KorvaPy.KORVA_STATUS_SUCCESS, KorvaPy.KORVA_STATUS_TIMEOUT
OWN, PEER = 1, 2


@unittest.skipUnless(HAVE_SERVERS, "socat is not installed")
class DeadLineTest(unittest.TestCase):
    def setUp(self):
        self.ptys = socat_ptys(self)
        self.hang_up = re.escape("hang-up of %s: Input/output error" % self.ptys.a)

    def node(self, **options):
        node = korva.SerialNode(OWN, self.ptys.a, **options)
        self.addCleanup(node.close)
        return node

    def sends(self, node):
        """Every kind of send, each a callable returning its status."""
        return (("write", lambda: node.write(PEER, 5, [1, 2], 2)),
                ("write_public", lambda: node.write_public(5, [1], 1)),
                ("send", lambda: node.send(frame.INDICATE, PEER, 6, b"x")),
                ("request_reserved", lambda: node.request_reserved(PEER, frame.VERSION_REQUEST_ID)))

    def lost_line(self, found_by_poll):
        """A node without reconnection whose socat was killed once a frame
        had gone out; a poll finds the hang-up first if `found_by_poll`."""
        node = self.node()
        self.assertEqual(node.write(PEER, 5, [0], 1), SUCCESS)
        self.assertTrue(node.flush(2.0))
        self.ptys.stop(signal.SIGKILL)
        if found_by_poll:
            with self.assertRaisesRegex(OSError, self.hang_up):
                node.poll(1.0)
        return node

    def test_without_reconnect_every_send_raises_the_poll_error_and_queues_nothing(self):
        for found_by_poll in (False, True):
            with self.subTest(found_by_poll=found_by_poll):
                node = self.lost_line(found_by_poll)
                sent = node.stats.bytes_sent
                for name, send in self.sends(node) * 2:
                    with self.assertRaisesRegex(OSError, self.hang_up, msg=name) as raised:
                        send()
                    self.assertEqual(raised.exception.errno, 5)
                self.assertEqual((node.backlog, node.stats.bytes_sent), (0, sent))
                with self.assertRaisesRegex(OSError, self.hang_up):
                    node.poll(0.1)
                node.close()
                self.ptys.start()

    def test_a_closed_node_refuses_every_send(self):
        for node in (self.node(), korva.LinkNode(OWN)):
            with self.subTest(type(node).__name__):
                node.close()
                for name, send in self.sends(node):
                    with self.assertRaisesRegex(ValueError, "the node is closed", msg=name):
                        send()
                self.assertEqual(node.backlog, 0)

    def test_with_reconnect_sends_time_out_while_the_line_is_away(self):
        changes = []
        node = self.node(reconnect=True, on_line_change=changes.append)
        self.ptys.stop(signal.SIGKILL)
        for name, send in self.sends(node) * 2:
            self.assertEqual(send(), TIMEOUT, name)
        self.assertEqual((node.backlog, node.line_up, changes), (0, False, [False]))
        self.assertRegex(node.drop_reason, self.hang_up)

        self.ptys.start()
        self.assertTrue(wait_until(lambda: changes == [False, True], 10), changes)
        with korva.SerialNode(PEER, self.ptys.b) as peer:
            self.assertEqual(node.write(PEER, 5, [7], 1), SUCCESS)
            self.assertEqual(peer.receive(2.0).data, b"\x07")

    def test_an_asyncio_node_raises_on_send(self):
        async def sends_after_the_hang_up():
            async with await korva.aio.open_node(self.ptys.a, OWN) as node:
                self.ptys.stop(signal.SIGKILL)
                for _ in range(2):
                    with self.assertRaisesRegex(OSError, self.hang_up):
                        await node.write(PEER, 5, b"\x01")
                self.assertEqual(node._node.backlog, 0)

        asyncio.run(asyncio.wait_for(sends_after_the_hang_up(), 30))

    def test_the_gateway_answers_link_down(self):
        node = self.node(reconnect=True)
        self.ptys.stop(signal.SIGKILL)
        for message_type in (frame.WRITE, frame.REQUEST):
            with self.subTest(message_type=frame.TYPE_NAMES[message_type]):
                route = gateway_commands.Route("reply/here", b"c", deadline=0.3)
                command = gateway_commands.Command(PEER, message_type, 5, b"\x01", route)
                answer = gateway_commands.run(node, command, lambda: node.line_up, now=lambda: 0.0)
                self.assertEqual(answer.status, gateway_commands.LINK_DOWN)

    def test_the_command_line_says_so_in_one_line_and_exits_1(self):
        def open_then_lose(target, node_id, **options):
            node = korva.open_node(target, node_id, **options)
            self.ptys.stop(signal.SIGKILL)
            return node

        for command in (["send", "--to", "2", "--id", "5", "01"], ["request", "--to", "2", "--id", "5"]):
            with self.subTest(command=command[0]):
                errors = io.StringIO()
                with mock.patch.object(cli, "open_node", open_then_lose), contextlib.redirect_stderr(errors):
                    status = cli.main(command + ["--port", self.ptys.a, "--from", "1"])
                self.assertEqual(status, 1)
                self.assertRegex(errors.getvalue(),
                                 r"\Akorva %s: error: \[Errno 5\] %s\n\Z" % (command[0], self.hang_up))
                self.ptys.start()


if __name__ == "__main__":
    unittest.main()
