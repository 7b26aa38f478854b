"""The fingerprint request a schema names without a keyword, the fingerprint
and revision a reply tells, and the verdict on a peer: same, compatible at
a revision, newer, or incompatible with the changes a known schema names."""

import os
import struct
import tempfile
import unittest
import zlib

from korva import schema
from korva.errors import DecodeError
from korva.schema import peer

HERE = os.path.dirname(__file__)
FIRMWARE = os.path.join(HERE, "..", "..", "firmware")
SENSOR = schema.read(os.path.join(FIRMWARE, "sensor.toml"))
SENSOR_REV1 = schema.read(os.path.join(FIRMWARE, "sensor_rev1.toml"))
MOTOR = schema.read(os.path.join(HERE, "..", "..", "examples", "motor.toml"))

HEAD = 'format = 1\nname = "sensor"\nrevision = %d\n'
ASKING = '[[messages]]\nname = "%s"\nid = %d\ntype = "request"\nreply = "%s"\n'
TELLING = '[[messages]]\nname = "%s"\nid = %d\ntype = "response"\nfields = [%s]\n'
TOLD = '{ name = "fingerprint", type = "u32" }, { name = "revision", type = "u16" }'


def written(folder, name, text):
    path = os.path.join(folder, name + ".toml")
    with open(path, "w") as file:
        file.write(text)
    return schema.read(path)


def text_of(name):
    with open(os.path.join(FIRMWARE, name)) as file:
        return file.read()


def crc(model):
    """The fingerprint computed apart from the package's own function."""
    return "%08x" % (zlib.crc32(schema.canonical(model).encode()) & 0xFFFFFFFF)


class FingerprintRequestTest(unittest.TestCase):
    def test_the_first_request_whose_reply_begins_with_fingerprint_and_revision(self):
        with tempfile.TemporaryDirectory() as folder:
            for name, text, expected in (
                    ("sensor", None, "get_status"),
                    ("motor", None, None),
                    ("two", HEAD % 1 + ASKING % ("b", 9, "b_reply") + TELLING % ("b_reply", 9, TOLD)
                     + ASKING % ("a", 4, "a_reply") + TELLING % ("a_reply", 4, TOLD + ', { name = "x", type = "u8" }'),
                     "a"),
                    ("swapped", HEAD % 1 + ASKING % ("a", 4, "a_reply") + TELLING % (
                        "a_reply", 4, '{ name = "revision", type = "u16" }, { name = "fingerprint", type = "u32" }'),
                     None),
                    ("narrow", HEAD % 1 + ASKING % ("a", 4, "a_reply") + TELLING % (
                        "a_reply", 4, '{ name = "fingerprint", type = "u16" }, { name = "revision", type = "u16" }'),
                     None),
                    ("asks_with_fields", HEAD % 1 + ASKING % ("a", 4, "a_reply")
                     + 'fields = [{ name = "x", type = "u8" }]\n' + TELLING % ("a_reply", 4, TOLD), None),
                    ("told_later", HEAD % 2 + ASKING % ("a", 4, "a_reply") + TELLING % (
                        "a_reply", 4, '{ name = "fingerprint", type = "u32", since = 2 }, '
                                      '{ name = "revision", type = "u16", since = 2 }'), None)):
                with self.subTest(name=name):
                    model = {"sensor": SENSOR, "motor": MOTOR}.get(name) or written(folder, name, text)
                    found = peer.fingerprint_request(model)
                    self.assertEqual(None if found is None else found.name, expected)

    def test_a_reply_tells_its_leading_fingerprint_and_revision(self):
        self.assertEqual(peer.told(struct.pack("<IH", 0xA60A7BEE, 1) + b"rest"), ("a60a7bee", 1))
        self.assertEqual(peer.told(struct.pack("<IH", 7, 65535)), ("00000007", 65535))
        with self.assertRaisesRegex(DecodeError, "5 bytes, fewer than the 6"):
            peer.told(b"\0" * 5)


class VerdictTest(unittest.TestCase):
    def test_verdicts_by_fingerprint_and_revision(self):
        self.assertEqual(crc(SENSOR_REV1), crc(schema.restrict(SENSOR, 1)))
        for told, kind, text in (
                ((crc(SENSOR), 2), peer.SAME, "same schema (sensor revision 2, fingerprint %s)" % crc(SENSOR)),
                ((crc(SENSOR_REV1), 1), peer.COMPATIBLE, "compatible at revision 1 (sensor is at 2)"),
                ((crc(SENSOR_REV1), 2), peer.INCOMPATIBLE, "incompatible: fingerprint %s at revision 2 is not "
                                                           "sensor's at 2 (%s)" % (crc(SENSOR_REV1), crc(SENSOR))),
                ((crc(SENSOR), 1), peer.INCOMPATIBLE, "incompatible: fingerprint %s at revision 1 is not "
                                                      "sensor's at 1 (%s)" % (crc(SENSOR), crc(SENSOR_REV1))),
                ((crc(SENSOR), 3), peer.NEWER, "newer: revision 3, after sensor's 2; not checked, its later "
                                               "fields show as extra"),
                (("00000000", 0), peer.INCOMPATIBLE, "incompatible: revision 0 is no revision")):
            with self.subTest(told=told):
                self.assertEqual(peer.judge(SENSOR, *told), peer.Verdict(kind, text))

    def test_a_known_schema_names_the_breaking_changes_or_vouches_for_a_newer_peer(self):
        with tempfile.TemporaryDirectory() as folder:
            period = '{ name = "period", type = "%s", unit = "ms" }'
            wider = written(folder, "wider", text_of("sensor_rev1.toml").replace(period % "u16", period % "u32"))
            alarm = (TELLING % ("alarm", 9, '{ name = "level", type = "u8" }')).replace("\n", "\nsince = 3\n", 1)
            newer = written(folder, "newer", text_of("sensor.toml").replace("revision = 2", "revision = 3") + alarm)
            known = [SENSOR_REV1, wider, newer]
            source = wider.source
            for told, expected in (
                    ((crc(wider), 1), peer.Verdict(peer.INCOMPATIBLE, "incompatible: fingerprint %s is %s's at "
                                                   "revision 1" % (crc(wider), source),
                                                   ("status.period: type u32 -> u16",))),
                    ((crc(newer), 3), peer.Verdict(peer.COMPATIBLE, "compatible: fingerprint %s is %s's at revision "
                                                   "3, newer than sensor's 2" % (crc(newer), newer.source))),
                    ((crc(SENSOR_REV1), 1), peer.Verdict(peer.COMPATIBLE,
                                                         "compatible at revision 1 (sensor is at 2)"))):
                with self.subTest(told=told):
                    self.assertEqual(peer.judge(SENSOR, *told, known=known), expected)


if __name__ == "__main__":
    unittest.main()
