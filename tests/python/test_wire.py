"""The scanner's pieces of a line on a table of fixed streams, fed whole and
byte by byte, and a node's frame observer showing the same cut as the
scanner: both wrap the link's one native cutter."""

import unittest

from korva import frame
from korva.link import LinkNode
from korva.wire import Scanner
from korva_links import damaged

QUIET_NEVER = 3600.0  # no fragment goes stale while a stream is fed

WRITE = frame.encode(3, 14, frame.WRITE, 5, b"\x01\x02")
REQUEST = frame.encode(14, 3, frame.REQUEST, 6)
BAD_CRC = damaged(WRITE)
BAD_END = WRITE[:-1] + b"\x00"
FULL = frame.encode(2, 15, frame.INDICATE, 63, bytes((frame.START, frame.END)) * 127 + bytes((frame.START,)))
FALSE_START = b"\xfb\x02" + WRITE[:7]  # announces a 2-byte body: ends inside WRITE, on no end byte
HOLDER = damaged(frame.encode(1, 2, frame.WRITE, 1, REQUEST))  # a damaged frame with a whole frame for its body


def noise(raw):
    return ("noise", raw)


def intact(raw):
    return ("frame", raw, True)


def broken(raw):
    return ("frame", raw, False)


def piece(event):
    """An event as the table writes it: noise, or a frame's bytes and
    whether it arrived intact."""
    return noise(event.raw) if event.frame is None else ("frame", event.raw, event.frame.ok)


PIECES = (
    ("noise, then frames back to back", b"\x00\x11" + WRITE + REQUEST,
     [noise(b"\x00\x11"), intact(WRITE), intact(REQUEST)]),
    ("a full body with start and end bytes inside, for the public id", FULL + WRITE, [intact(FULL), intact(WRITE)]),
    ("a bad checksum is shown, then its bytes are scanned again", BAD_CRC + WRITE,
     [broken(BAD_CRC), noise(BAD_CRC[1:]), intact(WRITE)]),
    ("a wrong end byte", BAD_END + REQUEST, [broken(BAD_END), noise(BAD_END[1:]), intact(REQUEST)]),
    ("a false start gives way to the frame it swallowed", FALSE_START + WRITE[7:],
     [broken(FALSE_START), noise(b"\x02"), intact(WRITE)]),
    ("a frame inside a damaged frame's body is found", HOLDER,
     [broken(HOLDER), noise(HOLDER[1:4]), intact(REQUEST), noise(HOLDER[-3:])]),
    ("end bytes before a start byte are noise", b"\xbf\xbf" + REQUEST, [noise(b"\xbf\xbf"), intact(REQUEST)]),
    ("a fragment at the end is noise", WRITE + b"\xfb\x05\x01", [intact(WRITE), noise(b"\xfb\x05\x01")]),
    ("a lone start byte is noise", b"\xfb", [noise(b"\xfb")]),
)


class ScannerTest(unittest.TestCase):
    def test_pieces_of_fixed_streams_fed_whole_and_byte_by_byte(self):
        for name, stream, expected in PIECES:
            for chunks in ([stream], [stream[at:at + 1] for at in range(len(stream))]):
                with self.subTest(name, chunks=len(chunks)):
                    scanner = Scanner(gap=QUIET_NEVER)
                    events = [event for chunk in chunks for event in scanner.feed(chunk, 1.0)] + scanner.finish()
                    self.assertEqual([piece(event) for event in events], expected)

    def test_events_carry_the_arrival_time_of_their_first_byte(self):
        scanner = Scanner(gap=1.0)
        events = scanner.feed(b"\x00" + WRITE[:4], 10.0) + scanner.feed(WRITE[4:] + REQUEST, 10.5)
        self.assertEqual([(event.time, event.raw) for event in events],
                         [(10.0, b"\x00"), (10.0, WRITE), (10.5, REQUEST)])

    def test_a_fragment_goes_stale_only_after_a_quiet_gap(self):
        scanner = Scanner(gap=0.1)
        self.assertEqual(scanner.feed(b"\xfb\x40" + WRITE, 1.0), [])
        self.assertEqual(scanner.expire(1.05), [])
        self.assertEqual([piece(event) for event in scanner.expire(1.1)], [noise(b"\xfb\x40"), intact(WRITE)])
        self.assertEqual(scanner.stats["cut_short"], 1)


class ObserverTest(unittest.TestCase):
    def test_a_nodes_frame_observer_shows_the_scanners_cut(self):
        stream = b"\x00" + BAD_CRC + FALSE_START + WRITE[7:] + HOLDER + FULL + REQUEST
        expected = [broken(BAD_CRC), broken(FALSE_START), intact(WRITE), broken(HOLDER), intact(REQUEST),
                    intact(FULL), intact(REQUEST)]
        shown = []
        node = LinkNode(9, on_frame=lambda event: shown.append(piece(event)))
        node.feed(stream)
        scanner = Scanner(gap=QUIET_NEVER)
        scanned = [piece(event) for event in scanner.feed(stream, 1.0) + scanner.finish()]
        self.assertEqual(shown, expected)
        self.assertEqual([frame_piece for frame_piece in scanned if frame_piece[0] == "frame"], expected)


if __name__ == "__main__":
    unittest.main()
