"""The gateway's loop with stand-in connections: a pass writes the
connections that queued something, whichever thread queued it, and leaves
the others alone; a connection that ends is closed and its loss told."""

import importlib.util
import socket
import threading
import time
import unittest

from korva_links import wait_until

HAVE_PAHO = importlib.util.find_spec("paho") is not None
if HAVE_PAHO:
    from korva.gateway.loop import Loop

IDLE = 50  # connections with nothing to write
WAIT = 5.0


class Connection:
    """The calls the loop makes on a connection, counted; `queue()` puts a
    packet in its outbox as a publish does."""

    def __init__(self, test):
        self._socket, self._far = socket.socketpair()
        test.addCleanup(self._socket.close)
        test.addCleanup(self._far.close)
        self._lock = threading.Lock()
        self.answers = False  # queues an acknowledgement for what it reads
        self.queued = 0
        self.writes = 0
        self.checks = 0

    def queue(self):
        with self._lock:
            self.queued += 1

    def socket(self):
        return self._socket

    def want_write(self):
        self.checks += 1
        with self._lock:
            return self.queued > 0

    def write(self):
        self.writes += 1
        with self._lock:
            self.queued = 0
        return True

    def arrive(self):
        """Bytes from the broker."""
        self._far.send(b"!")

    def hang_up(self):
        """The broker closes the connection."""
        self._far.close()

    def read(self):
        if not self._socket.recv(100):
            return False  # the far end closed
        if self.answers:
            self.queue()
        return True

    def check(self):
        return True

    def close(self):
        self._socket.close()


@unittest.skipUnless(HAVE_PAHO, "needs paho-mqtt")
class LoopTest(unittest.TestCase):
    def setUp(self):
        self.loop = Loop(lambda: None, 60.0)
        self.loop.start()
        self.addCleanup(self.loop.stop)
        self.idle = [Connection(self) for _ in range(IDLE)]
        self.busy = Connection(self)
        for connection in self.idle + [self.busy]:
            self.loop.watch(connection, lambda error: None)
        # Each watched connection has its login written once.
        self.assertTrue(wait_until(lambda: all(c.writes == 1 for c in self.idle + [self.busy]), WAIT))

    def test_packets_queued_by_other_threads_are_written_and_idle_connections_left_alone(self):
        checks = sum(connection.checks for connection in self.idle)
        began = time.monotonic()
        for count in range(1, 101):
            sender = threading.Thread(target=lambda: (self.busy.queue(), self.loop.to_write(self.busy)))
            sender.start()
            sender.join(WAIT)
            self.assertTrue(wait_until(lambda: self.busy.queued == 0, WAIT), "packet %d was not written" % count)
        self.assertIn(self.busy.writes, range(101, 201))
        self.assertEqual([connection.writes for connection in self.idle], [1] * IDLE)
        # The keepalive check looks at every connection once a second; a
        # pass that looked at them all would make thousands of checks here.
        seconds = time.monotonic() - began
        self.assertLessEqual(sum(connection.checks for connection in self.idle) - checks, IDLE * (seconds + 2))

    def test_what_a_read_queued_is_written(self):
        self.busy.answers = True  # as a connection acknowledges a message it read
        self.busy.arrive()
        self.assertTrue(wait_until(lambda: self.busy.writes == 2 and self.busy.queued == 0, WAIT))

    def test_a_connection_the_far_end_closed_is_closed_and_its_loss_told_once(self):
        ended = Connection(self)
        losses = []
        self.loop.watch(ended, losses.append)
        self.assertTrue(wait_until(lambda: ended.writes == 1, WAIT))
        ended.hang_up()
        self.assertTrue(wait_until(lambda: losses == [None], WAIT))
        self.assertEqual(ended.socket().fileno(), -1)
        time.sleep(0.2)  # a second loss would be told by now
        self.assertEqual(losses, [None])


if __name__ == "__main__":
    unittest.main()
