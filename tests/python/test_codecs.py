"""The pure-Python codecs on fixtures: the frame codec and capture files."""

import io
import struct
import unittest

from korva import frame, pcap

FIRST_FRAME = bytes.fromhex("FB 02 E3 14 01 02 F3 EF BF")  # node 14 writes 01 02 to node 3, id 5


class FrameTest(unittest.TestCase):
    def test_encode_is_byte_exact_and_decode_reads_it_back(self):
        self.assertEqual(frame.encode(14, 3, frame.WRITE, 5, b"\x01\x02"), FIRST_FRAME)
        self.assertEqual(frame.decode(FIRST_FRAME), frame.Frame(14, 3, frame.WRITE, 5, b"\x01\x02", "ok"))
        for message_type in range(4):
            for body in (b"", b"\xfb\xbf", bytes(range(255))):
                raw = frame.encode(2, 15, message_type, 63, body)
                self.assertEqual(frame.decode(raw), frame.Frame(2, 15, message_type, 63, body, "ok"))

    def test_decode_names_the_first_failed_check(self):
        for name, raw, status in (
                ("one byte short", FIRST_FRAME[:-2] + b"\xbf", "length_error"),
                ("one byte long", FIRST_FRAME[:-1] + b"\x00\xbf", "length_error"),
                ("no start byte", b"\x00" + FIRST_FRAME[1:], "length_error"),
                ("shorter than a header", FIRST_FRAME[:5], "length_error"),
                ("wrong end byte", FIRST_FRAME[:-1] + b"\x00", "end_byte_error"),
                ("checksum high byte", FIRST_FRAME[:6] + b"\xf2" + FIRST_FRAME[7:], "crc_error"),
                ("body changed", FIRST_FRAME[:4] + b"\x01\x03" + FIRST_FRAME[6:], "crc_error")):
            with self.subTest(name):
                self.assertEqual(frame.decode(raw).status, status)

    def test_fields_out_of_range_are_refused(self):
        for args in ((16, 3, 0, 5), (14, 16, 0, 5), (14, 3, 4, 5), (14, 3, 0, 64), (14, 3, 0, -1)):
            with self.subTest(args=args), self.assertRaises(ValueError):
                frame.encode(*args)
        with self.assertRaises(ValueError):
            frame.encode(14, 3, 0, 5, bytes(256))

    def test_crc_is_cms_from_ffff_and_chains(self):
        self.assertEqual(frame.crc16(b"123456789"), 0xAEE7)
        self.assertEqual(frame.crc16(b"56789", frame.crc16(b"1234")), 0xAEE7)


def capture(order, magic, records, link_type=pcap.LINKTYPE_USER0):
    """A capture file's bytes, as another program would write them."""
    out = struct.pack(order + "IHHiIII", magic, 2, 4, 0, 0, 65535, link_type)
    for seconds, fraction, data in records:
        out += struct.pack(order + "IIII", seconds, fraction, len(data), len(data)) + data
    return out


class PcapTest(unittest.TestCase):
    def read(self, data):
        return list(pcap.read_records(io.BytesIO(data)))

    def test_written_records_read_back(self):
        file = io.BytesIO()
        writer = pcap.PcapWriter(file)
        writer.write(1700000000.25, FIRST_FRAME)
        writer.write(1700000001.000001, b"")
        records = self.read(file.getvalue())
        self.assertEqual([data for _, data in records], [FIRST_FRAME, b""])
        self.assertAlmostEqual(records[0][0], 1700000000.25, places=6)
        self.assertAlmostEqual(records[1][0], 1700000001.000001, places=6)
        self.assertEqual(file.getvalue()[:4], bytes.fromhex("d4c3b2a1"), "little-endian, microseconds")

    def test_fixtures_in_every_unit_and_byte_order(self):
        for name, order, magic, fraction, seconds in (
                ("microseconds, little-endian", "<", 0xA1B2C3D4, 500000, 10.5),
                ("microseconds, big-endian", ">", 0xA1B2C3D4, 250000, 10.25),
                ("nanoseconds, little-endian", "<", 0xA1B23C4D, 500000000, 10.5),
                ("nanoseconds, big-endian", ">", 0xA1B23C4D, 1000, 10.000001)):
            with self.subTest(name):
                records = self.read(capture(order, magic, [(10, fraction, FIRST_FRAME)]))
                self.assertEqual(len(records), 1)
                self.assertAlmostEqual(records[0][0], seconds, places=9)
                self.assertEqual(records[0][1], FIRST_FRAME)

    def test_foreign_or_cut_files_are_refused(self):
        whole = capture("<", 0xA1B2C3D4, [(1, 0, FIRST_FRAME)])
        for name, data in (("empty", b""), ("wrong magic", b"\x00" * 24),
                           ("another link type", capture("<", 0xA1B2C3D4, [], link_type=1)),
                           ("cut inside a header", whole[:30]), ("cut inside a record", whole[:-1])):
            with self.subTest(name), self.assertRaises(ValueError):
                self.read(data)


if __name__ == "__main__":
    unittest.main()
