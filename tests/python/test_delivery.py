"""Frames reach Python in batches, one crossing per service, and users see
what they saw frame by frame: every message once, in order, with its
status, to on_message, on_frame, waiting callers and the inbox."""

import socket
import unittest

import KorvaPy
from korva import frame
from korva.link import LinkNode
from korva.pipe import PipeNode

SUCCESS, CRC_ERROR = KorvaPy.KORVA_STATUS_SUCCESS, KorvaPy.KORVA_STATUS_CRC_ERROR
COUNT = 1000  # far more than one read of the line holds, so the feed runs many cuts


def stream(count):
    """`count` frames to node 3 with numbered bodies, every seventh damaged,
    and a frame for node 5 after every tenth, which only on_frame sees: the
    bytes, what node 3 hears, and every frame put on the line."""
    expected, frames = [], []
    for index in range(count):
        body = bytes((index >> 6, index & 0x3F))  # never a start byte, so a damaged frame hides none
        one = frame.encode(14, 3, frame.WRITE, index % 60, body)
        damaged = index % 7 == 3
        if damaged:
            one = one[:-3] + bytes((one[-3] ^ 0xFF,)) + one[-2:]
        frames.append(one)
        expected.append((index % 60, body, CRC_ERROR if damaged else SUCCESS))
        if index % 10 == 0:
            frames.append(frame.encode(14, 5, frame.WRITE, 1))
    return b"".join(frames), expected, frames


class BatchTest(unittest.TestCase):
    def test_an_event_loop_read_takes_what_the_line_holds(self):
        # 1,000 frames are far more than one read's buffer: an event loop's
        # reader that read once per pass would leave most of them for later
        # passes, and cap a busy line at one buffer a pass.
        raw, expected, _ = stream(COUNT)
        mine, theirs = socket.socketpair()
        self.addCleanup(theirs.close)
        theirs.sendall(raw)
        heard = []
        node = PipeNode(3, mine, on_message=lambda t, status, header: heard.append(
            (header.message_id, bytes(header.data), status)))
        self.addCleanup(node.close)
        node._loop_read()
        self.assertEqual(heard, expected)

    def test_a_large_feed_is_delivered_complete_and_in_order(self):
        raw, expected, frames = stream(COUNT)
        heard, shown = [], []
        node = LinkNode(3, on_message=lambda t, status, header: heard.append(
            (header.message_id, bytes(header.data), status)), on_frame=shown.append)
        node.feed(raw)
        self.assertEqual(heard, expected)
        # A damaged frame's checksum bytes may hold a start byte: the false
        # frame it begins is shown too, between the frames that were sent.
        put_on_line = set(frames)
        self.assertEqual([event.raw for event in shown if event.raw in put_on_line], frames)
        self.assertEqual(len(frames), COUNT + COUNT // 10)

    def test_without_on_message_the_inbox_keeps_them_in_order(self):
        raw, expected, _ = stream(200)
        node = LinkNode(3)
        node.feed(raw)
        got = [node.receive(0.0) for _ in expected]
        self.assertEqual([(m.message_id, m.data, m.status) for m in got], expected)

    def test_a_raising_callback_loses_nothing(self):
        raw, expected, _ = stream(30)
        heard = []

        def on_message(message_type, status, header):
            heard.append((header.message_id, bytes(header.data), status))
            if len(heard) in (5, 6, 20):
                raise ValueError("callback %d" % len(heard))

        node = LinkNode(3, on_message=on_message)
        raised = 0
        for attempt in range(10):
            try:
                node.feed(raw if attempt == 0 else b"")
                break
            except ValueError:
                raised += 1
        self.assertEqual((raised, heard), (3, expected))
        next_frame = frame.encode(14, 3, frame.WRITE, 9, b"next")
        node.feed(next_frame)
        self.assertEqual(heard[-1], (9, b"next", SUCCESS))

    def test_a_callbacks_own_feed_keeps_the_order(self):
        first, second = stream(20)[0], frame.encode(14, 3, frame.INDICATE, 59, b"later")
        heard = []

        def on_message(message_type, status, header):
            heard.append(header.message_id)
            if len(heard) == 1:
                node.feed(second)  # arrives while the first batch is being handed over

        node = LinkNode(3, on_message=on_message)
        node.feed(first)
        self.assertEqual(heard, [index % 60 for index in range(20)] + [59])


if __name__ == "__main__":
    unittest.main()
