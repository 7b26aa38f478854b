"""A frame's status is the link cutter's verdict on it, carried up with the
frame: the monitor and the gateway show it without checking the frame
again in Python."""

import json
import os
import time
import tty
import unittest
from unittest import mock

import _korva_link
from korva import frame, monitor
from korva.gateway.payloads import frame_payload
from korva.gateway.stream import FrameStream
from korva.gateway.topics import LinkTopics
from korva.link import LinkNode
from korva_links import PtyPair

GOOD = frame.encode(3, 14, frame.WRITE, 5, b"\x01\x02")
BAD_CRC = GOOD[:-3] + bytes((GOOD[-3] ^ 1,)) + GOOD[-2:]
BAD_END = GOOD[:-1] + b"\x00"
# The three verdicts; a damaged frame's bytes are scanned again, which finds nothing in these.
STREAM = BAD_CRC + BAD_END + GOOD
EXPECTED = [(BAD_CRC, frame.CRC_ERROR), (BAD_END, frame.END_BYTE_ERROR), (GOOD, frame.OK)]


def checksum_refused(*_args):
    raise AssertionError("a frame was checked again in Python")


class VerdictTest(unittest.TestCase):
    def setUp(self):
        patcher = mock.patch.object(frame, "crc16", checksum_refused)
        patcher.start()
        self.addCleanup(patcher.stop)

    def test_the_python_checksum_is_refused_here(self):
        with self.assertRaises(AssertionError):
            frame.decode(GOOD)

    def test_a_node_shows_each_frame_with_the_cutters_verdict(self):
        seen = []
        node = LinkNode(14, on_frame=seen.append)
        node.feed(STREAM)
        self.assertEqual([(event.raw, event.frame.status) for event in seen], EXPECTED)
        self.assertEqual(seen[0].frame[:5], (3, 14, frame.WRITE, 5, b"\x01\x02"))

    def test_the_gateway_publishes_the_verdict(self):
        stream = FrameStream(LinkTopics("gw", "line"), qos=0, capacity=10)
        published = []
        stream.attach(lambda topic, payload, qos, **_: published.append((topic, json.loads(payload))) or 1)
        node = LinkNode(14, on_frame=stream.offer)
        node.feed(STREAM)
        self.assertEqual([(payload["seq"], payload["status"], payload["data"]) for _, payload in published],
                         [(seq, status, "0102") for seq, (_, status) in enumerate(EXPECTED)])
        self.assertEqual(published[0][0], "korva/gw/line/frame/3/14/write/5")

    def test_the_monitor_shows_the_verdict(self):
        with PtyPair() as pty:
            tty.setraw(pty.other)
            os.write(pty.main, STREAM)
            line = _korva_link.Line.open_tty(os.ttyname(pty.other), 115200)
            events = []
            try:
                monitor.watch(line, 0.05, events.append, duration=0.3)
            finally:
                line.close()
        frames = [event for event in events if event.frame is not None]
        self.assertEqual([(event.raw, event.frame.status) for event in frames], EXPECTED)
        self.assertEqual([json.loads(monitor.as_json(event))["status"] for event in frames],
                         [status for _, status in EXPECTED])

    def test_the_json_shape_is_the_frames_own(self):
        seen = []
        LinkNode(14, on_frame=seen.append).feed(BAD_CRC)
        fields = {"transmitter_id": 3, "receiver_id": 14, "message_type": "write", "message_id": 5, "data": "0102",
                  "status": "crc_error"}
        self.assertEqual(seen[0].frame.json_fields(), fields)
        self.assertEqual(json.loads(frame_payload(seen[0], 7)), {**fields, "seq": 7, "ts": round(seen[0].time, 6), "direction": "in"})
        self.assertLess(abs(seen[0].time - time.time()), 60)


if __name__ == "__main__":
    unittest.main()
