"""Nodes over TCP through a real ser2net serving one end of a socat pty
pair, with ser2net killed and restarted mid-run, and a tty that vanishes."""

import signal
import subprocess
import sys
import threading
import unittest

import KorvaPy
import korva
from korva_links import Heard, wait_until
from korva_servers import HAVE_SERVERS, Rig, socat_ptys

SUCCESS = KorvaPy.KORVA_STATUS_SUCCESS
TIMEOUT = KorvaPy.KORVA_STATUS_TIMEOUT
NET, TTY = 1, 2
PHASE = 500  # frames each way before the drop and after the reconnection
DOWN = 100   # frames each way while ser2net is gone


def body(index):
    return [index >> 8, index & 0xFF] + [(index * 7 + k) & 0xFF for k in range(index % 40)]


def indexes(heard):
    """The frame numbers in the first two body bytes of the messages heard."""
    return [(m.data[0] << 8) | m.data[1] for m in heard.messages]


@unittest.skipUnless(HAVE_SERVERS, "socat and ser2net are not installed")
class Ser2netTest(unittest.TestCase):
    def setUp(self):
        self.rig = Rig().__enter__()
        self.addCleanup(self.rig.__exit__)

    def open(self, **options):
        changes = []
        changed = threading.Condition()

        def on_line_change(up):
            with changed:
                changes.append(up)
                changed.notify_all()

        net_got, tty_got = Heard(), Heard()
        net = korva.open_node(self.rig.url, NET, on_message=net_got, on_line_change=on_line_change, **options)
        tty = korva.open_node(self.rig.tty, TTY, on_message=tty_got)
        for node in (net, tty):
            self.addCleanup(node.close)
            node.start_polling(0.02)
        return net, tty, net_got, tty_got, changes

    def send_both_ways(self, net, tty, numbers):
        statuses = []
        for index in numbers:
            data = body(index)
            statuses.append(net.write(TTY, 5, data, len(data)))
            self.assertEqual(tty.write(NET, 6, data, len(data)), SUCCESS)
        return statuses

    def test_a_thousand_frames_each_way_survive_a_ser2net_restart(self):
        net, tty, net_got, tty_got, changes = self.open(reconnect=True)
        before, down, after = range(PHASE), range(PHASE, PHASE + DOWN), range(PHASE + DOWN, 2 * PHASE + DOWN)

        self.assertEqual(self.send_both_ways(net, tty, before), [SUCCESS] * PHASE)
        self.assertTrue(wait_until(lambda: len(tty_got.messages) == len(net_got.messages) == PHASE, 20))

        self.rig.ser2net.stop(signal.SIGKILL)
        self.assertTrue(wait_until(lambda: changes == [False]), changes)
        self.assertEqual(self.send_both_ways(net, tty, down), [TIMEOUT] * DOWN)

        self.rig.ser2net.start()
        self.assertTrue(wait_until(lambda: changes == [False, True], 10), changes)
        self.assertEqual(self.send_both_ways(net, tty, after), [SUCCESS] * PHASE)
        self.assertTrue(wait_until(lambda: set(after) <= set(indexes(net_got)), 20))
        self.assertTrue(wait_until(lambda: indexes(tty_got)[PHASE:] == list(after), 20), indexes(tty_got)[-3:])

        # Every frame arrived intact and in order; the tty side's frames
        # sent while ser2net was gone may or may not have been kept by the pty.
        for got in (net_got, tty_got):
            self.assertTrue(all(message.ok and list(message.data) == body(index)
                                for message, index in zip(got.messages, indexes(got))))
        self.assertEqual(indexes(tty_got), list(before) + list(after))
        lost = set(down) - set(indexes(net_got))
        self.assertEqual([i for i in indexes(net_got) if i not in lost], list(before) + sorted(set(down) - lost)
                         + list(after))
        stats = net.stats
        self.assertEqual((stats.drops, stats.reconnects), (1, 1))
        print("\nser2net restart: %d frames each way; tty->net: %d of %d sent while down arrived late; "
              "net->tty: %d refused while down; net %s" % (2 * PHASE + DOWN, DOWN - len(lost), DOWN, DOWN, stats))

    def test_without_reconnect_a_drop_raises_naming_the_target(self):
        net, tty, _, _, changes = self.open()
        net.stop_polling()
        self.rig.ser2net.stop(signal.SIGKILL)
        with self.assertRaisesRegex(OSError, "tcp://127.0.0.1:%d" % self.rig.ser2net.port):
            for _ in range(50):
                net.poll(0.05)
        self.assertEqual(changes, [])
        with self.assertRaisesRegex(OSError, "cannot connect to tcp://127.0.0.1:%d" % self.rig.ser2net.port):
            korva.open_node(self.rig.url, NET)

    def test_a_request_crosses_ser2net(self):
        net, tty, _, _, _ = self.open()
        tty.on_message = lambda t, s, h: tty.respond(korva.Message.from_header(t, s, h), bytes(range(256))[::-1][:200])
        reply = net.request(TTY, 9, bytes(range(200)))
        self.assertEqual(reply.data, bytes(range(256))[::-1][:200])
        self.assertEqual(net.peer_version(TTY), tty.GET_KORVA_VERSION())

    def test_the_command_line_takes_a_url(self):
        tty = korva.open_node(self.rig.tty, TTY)
        self.addCleanup(tty.close)
        tty.on_message = lambda t, s, h: tty.respond(korva.Message.from_header(t, s, h), b"pong")
        tty.start_polling(0.02)
        done = subprocess.run([sys.executable, "-m", "korva", "request", "--port", self.rig.url, "--from", "1",
                               "--to", "2", "--id", "4", "--text", "ping"], capture_output=True, text=True, timeout=30)
        self.assertEqual((done.returncode, done.stdout.split()[-3:]), (0, ["67", "|pong|", "ok"]))


@unittest.skipUnless(HAVE_SERVERS, "socat is not installed")
class VanishingTtyTest(unittest.TestCase):
    def test_a_tty_that_vanishes_is_reopened_when_it_returns(self):
        ptys = socat_ptys(self)
        changes = []
        node = korva.SerialNode(NET, ptys.a, reconnect=True, on_line_change=changes.append)
        self.addCleanup(node.close)
        node.start_polling(0.02)
        ptys.stop()
        self.assertTrue(wait_until(lambda: changes == [False]), changes)
        self.assertEqual(node.write(TTY, 1, [1], 1), TIMEOUT)
        ptys.start()
        self.assertTrue(wait_until(lambda: changes == [False, True], 10), changes)
        with korva.SerialNode(TTY, ptys.b) as peer:
            self.assertEqual(node.write(TTY, 1, [7], 1), SUCCESS)
            self.assertEqual(peer.receive(2.0).data, b"\x07")
        self.assertIn(ptys.a, node.drop_reason)


if __name__ == "__main__":
    unittest.main()
