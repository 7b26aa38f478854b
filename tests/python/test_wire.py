"""The monitor's scanner and the link cut a line the same way: a table of
pieces, and the frames of many streams compared between a node's observer
and the scanner."""

import glob
import os
import random
import time
import unittest

from korva import frame
from korva.link import LinkNode
from korva.wire import Scanner

SEEDS = os.path.join(os.path.dirname(__file__), "..", "..", "fuzz", "seeds", "fuzz_link_core")
QUIET_NEVER = 3600.0  # no fragment goes stale while a stream is fed

WRITE = frame.encode(3, 14, frame.WRITE, 5, b"\x01\x02")
REQUEST = frame.encode(14, 3, frame.REQUEST, 6)
BAD_CRC = WRITE[:-3] + bytes((WRITE[-3] ^ 1,)) + WRITE[-2:]


def summary(events):
    return [(event.frame.status if event.frame else "noise", event.raw) for event in events]


class ScannerTest(unittest.TestCase):
    def test_pieces_of_a_line(self):
        # The cut itself is the native cutter's, tested case by case beside it;
        # these are the scanner's own work: decoding, and noise run together.
        for name, stream, expected in (
                ("noise then frames", b"\x00\x11" + WRITE + REQUEST,
                 [("noise", b"\x00\x11"), ("ok", WRITE), ("ok", REQUEST)]),
                ("a damaged frame is shown, then its bytes scanned again", BAD_CRC + WRITE,
                 [("crc_error", BAD_CRC), ("noise", BAD_CRC[1:]), ("ok", WRITE)]),
                ("a fragment at the end is noise", WRITE + b"\xfb\x05\x01",
                 [("ok", WRITE), ("noise", b"\xfb\x05\x01")])):
            with self.subTest(name):
                scanner = Scanner(gap=0.01)
                events = scanner.feed(stream, 1.0) + scanner.finish()
                self.assertEqual(summary(events), expected)

    def test_events_carry_the_arrival_time_of_their_first_byte(self):
        scanner = Scanner(gap=1.0)
        events = scanner.feed(b"\x00" + WRITE[:4], 10.0) + scanner.feed(WRITE[4:] + REQUEST, 10.5)
        self.assertEqual([(event.time, event.raw) for event in events],
                         [(10.0, b"\x00"), (10.0, WRITE), (10.5, REQUEST)])

    def test_a_fragment_goes_stale_only_after_a_quiet_gap(self):
        scanner = Scanner(gap=0.1)
        self.assertEqual(scanner.feed(b"\xfb\x40" + WRITE, 1.0), [])
        self.assertEqual(scanner.expire(1.05), [])
        self.assertEqual(summary(scanner.expire(1.1)), [("noise", b"\xfb\x40"), ("ok", WRITE)])
        self.assertEqual(scanner.stats["cut_short"], 1)


def random_stream(seed):
    """Frames for several nodes, intact, damaged and cut, with noise and
    false starts between them."""
    rng = random.Random(seed)
    stream = bytearray()
    for _ in range(rng.randint(5, 40)):
        raw = frame.encode(rng.randint(0, 15), rng.choice((14, 15, 3, 5)), rng.randint(0, 3), rng.randint(0, 59),
                           bytes(rng.randrange(256) for _ in range(rng.randint(0, 40))))
        kind = rng.random()
        if kind < 0.15:
            raw = raw[:-4] + bytes((raw[-4] ^ 0x10,)) + raw[-3:]  # a damaged body
        elif kind < 0.25:
            raw = b"\xfb" + bytes((rng.randint(0, 60),)) + raw  # a false start
        elif kind < 0.3:
            raw = raw[:rng.randint(1, len(raw) - 1)]  # cut off
        elif kind < 0.45:
            raw = bytes(rng.randrange(256) for _ in range(rng.randint(1, 12))) + raw
        stream += raw
    return bytes(stream)


def read_file(path):
    with open(path, "rb") as file:
        return file.read()


class DifferentialTest(unittest.TestCase):
    def node_frames(self, stream, chunks):
        seen = []
        node = LinkNode(14, on_frame=lambda event: seen.append((event.frame.status, event.raw)))
        node.inter_byte_gap = QUIET_NEVER
        for chunk in chunks:
            node.feed(chunk)
        node.inter_byte_gap = 0.001  # the line goes quiet for good
        deadline = time.monotonic() + 10
        while node.stale_in is not None and time.monotonic() < deadline:
            time.sleep(0.002)
            node.service()
        self.assertIsNone(node.stale_in, "every fragment went stale")
        return seen

    def scanner_frames(self, chunks):
        scanner = Scanner(gap=QUIET_NEVER)
        events = []
        for chunk in chunks:
            events += scanner.feed(chunk, 0.0)
        events += scanner.finish()
        return [(status, raw) for status, raw in summary(events) if status != "noise"]

    def test_node_and_scanner_see_the_same_frames(self):
        streams = [(os.path.basename(path), read_file(path)) for path in sorted(glob.glob(SEEDS + "/*"))]
        streams += [("random %d" % seed, random_stream(seed)) for seed in range(30)]
        self.assertGreater(len(streams), 30)
        frames_seen = 0
        for name, stream in streams:
            with self.subTest(name):
                rng = random.Random(name)
                cuts = sorted(rng.sample(range(1, len(stream)), min(8, len(stream) - 1))) if len(stream) > 1 else []
                chunks = [stream[start:end] for start, end in zip([0] + cuts, cuts + [len(stream)])]
                node = self.node_frames(stream, chunks)
                self.assertEqual(node, self.scanner_frames(chunks))
                frames_seen += len(node)
        self.assertGreater(frames_seen, 200, "the streams must hold frames to compare")


if __name__ == "__main__":
    unittest.main()
