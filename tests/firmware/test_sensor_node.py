"""The sensor node on an emulated board, driven with the classes korva.schema
makes from the same schema file the firmware's header was generated from.

CTest names the board and the images in the environment: KORVA_BOARD,
KORVA_SENSOR_IMAGE (built from firmware/sensor.toml, revision 2),
KORVA_SENSOR_REV1_IMAGE (built from firmware/sensor_rev1.toml),
KORVA_SENSOR_SCHEMA (sensor.toml) and, for the AVR, KORVA_SIMAVR_PTY. The
host always speaks revision 2; against the revision-1 image it must decode
what the older node sends, the appended fields at their defaults.
"""

import os
import unittest

from korva import KorvaTimeout, frame, open_node
from korva.schema import load
from korva.schema.canonical import fingerprint, restrict

from emulators import Emulator

HOST_ID = 3
NODE_ID = 14
FIRST_ANSWER_TIMEOUT = 30.0  # QEMU answers late right after start
RETRY_INTERVAL = 0.25
ANSWER_TIMEOUT = 5.0
HOST_GAP = 1.0
SILENCE = 1.0            # four times the node's first period
FIRST_PERIOD = 250       # ms, as the firmware starts
READINGS_SEEN = 4
# The status's last_error for a period over its max; unpack statuses are negative.
PERIOD_OUT_OF_RANGE = 1
UNPACK_SHORT = -1
BATTERY_DEFAULT = 3300   # sensor.toml: what a revision-1 reading decodes to


def expected_reading(seq):
    """What the firmware measures for reading `seq` (it has no sensor)."""
    return {"temperature": (2100 + seq % 50) / 100, "humidity": (400 + seq % 100) / 10,
            "battery": 3700 - seq % 200}


class SensorNodeCase(unittest.TestCase):
    """One emulator running `IMAGE` for the whole class, one host node on it."""

    IMAGE = None

    @classmethod
    def setUpClass(cls):
        cls.schema = load(os.environ["KORVA_SENSOR_SCHEMA"])
        cls.emulator = Emulator(os.environ["KORVA_BOARD"], os.environ[cls.IMAGE],
                                runner=os.environ.get("KORVA_SIMAVR_PTY"))
        cls.addClassCleanup(cls.emulator.stop)
        pty = cls.emulator.start()
        cls.node = open_node(pty, HOST_ID, inter_byte_gap=HOST_GAP)
        cls.addClassCleanup(cls.node.close)
        for _ in range(int(FIRST_ANSWER_TIMEOUT / RETRY_INTERVAL)):
            try:
                cls.node.request(NODE_ID, frame.VERSION_REQUEST_ID, timeout=RETRY_INTERVAL)
                return
            except KorvaTimeout:
                continue
        raise AssertionError("no answer from %s within %g s; it said:\n%s"
                             % (cls.emulator.board, FIRST_ANSWER_TIMEOUT, cls.emulator.output))

    # --- helpers ----------------------------------------------------------

    def typed(self, message):
        """A received frame decoded as the schema says, checked to be the
        message its id and type name."""
        decoded = self.schema.decode(message.message_id, message.message_type, message.data)
        self.assertEqual(decoded.extra, 0, "bytes beyond the fields of %s" % type(decoded).__name__)
        return decoded

    def readings(self, count):
        """The next `count` readings, decoded."""
        definition = self.schema.messages["reading"].definition
        got = []
        for _ in range(count):
            try:
                message = self.node.receive(ANSWER_TIMEOUT, transmitter_id=NODE_ID, message_id=definition.id,
                                            message_type=frame.INDICATE)
            except KorvaTimeout:
                self.fail("no reading within %g s after %d" % (ANSWER_TIMEOUT, len(got)))
            self.assertEqual(message.receiver_id, frame.PUBLIC_ID)
            got.append(self.typed(message))
        return got

    def drain(self):
        try:
            while True:
                self.node.receive(SILENCE / 4)
        except KorvaTimeout:
            pass

    def status(self):
        status = self.node.request_message(NODE_ID, self.schema.messages["get_status"](), timeout=ANSWER_TIMEOUT)
        self.assertEqual(status.extra, 0, "bytes beyond the fields of the status")
        return status

    def set_period(self, body):
        set_period = self.schema.messages["set_period"].definition
        self.assertEqual(self.node.send(frame.WRITE, NODE_ID, set_period.id, body), 1)

    def check_readings_follow_the_count(self, battery_of):
        got = self.readings(READINGS_SEEN)
        first = got[0].seq
        self.assertEqual([reading.seq for reading in got], [(first + k) % 65536 for k in range(READINGS_SEEN)])
        for reading in got:
            expected = expected_reading(reading.seq)
            self.assertEqual((reading.temperature, reading.humidity, reading.battery),
                             (expected["temperature"], expected["humidity"], battery_of(reading.seq)))


class SensorNodeTest(SensorNodeCase):
    """The node built from the schema the host speaks (revision 2)."""

    IMAGE = "KORVA_SENSOR_IMAGE"

    def test_1_readings_decode_to_what_the_node_measured(self):
        self.check_readings_follow_the_count(lambda seq: expected_reading(seq)["battery"])

    def test_2_status_names_the_schema_and_first_period(self):
        status = self.status()
        self.assertEqual(("%08x" % status.fingerprint, status.revision), (self.schema.fingerprint, 2))
        self.assertEqual((status.period, status.writes, status.rejected, status.last_error),
                         (FIRST_PERIOD, 0, 0, 0))
        self.assertGreater(status.readings, 0)

    def test_3_typed_write_sets_the_period(self):
        set_period = self.schema.messages["set_period"]
        self.assertEqual(self.node.send_message(NODE_ID, set_period(period=0)), 1)
        self.drain()
        with self.assertRaises(KorvaTimeout):  # period 0: no more readings
            self.node.receive(SILENCE, message_type=frame.INDICATE)
        self.assertEqual(self.status().period, 0)
        self.assertEqual(self.node.send_message(NODE_ID, set_period(period=100)), 1)
        self.readings(2)
        status = self.status()
        self.assertEqual((status.period, status.writes, status.rejected), (100, 2, 0))

    def test_4_refused_writes_are_counted_and_change_nothing(self):
        before = self.status()
        cases = [
            ("one byte: shorter than the message", b"\x05", UNPACK_SHORT),
            ("period over its max", (10001).to_bytes(2, "little"), PERIOD_OUT_OF_RANGE),
        ]
        for refused, (name, body, why) in enumerate(cases, start=1):
            with self.subTest(name):
                self.set_period(body)
                status = self.status()
                self.assertEqual((status.period, status.writes, status.rejected, status.last_error),
                                 (before.period, before.writes, before.rejected + refused, why))

    def test_5_write_with_bytes_of_a_later_revision_is_taken(self):
        before = self.status()
        self.set_period((300).to_bytes(2, "little") + b"\x01\x02")
        status = self.status()
        self.assertEqual((status.period, status.writes, status.rejected),
                         (300, before.writes + 1, before.rejected))


class OlderSensorNodeTest(SensorNodeCase):
    """The node built from revision 1: the host still speaks revision 2."""

    IMAGE = "KORVA_SENSOR_REV1_IMAGE"

    def test_readings_decode_with_the_appended_field_at_its_default(self):
        self.check_readings_follow_the_count(lambda seq: BATTERY_DEFAULT)

    def test_status_tells_revision_1_and_its_fingerprint(self):
        status = self.status()
        self.assertEqual(("%08x" % status.fingerprint, status.revision),
                         (fingerprint(restrict(self.schema.model, 1)), 1))
        self.assertEqual(status.readings, 0)  # appended at revision 2: its default
        self.assertEqual((status.period, status.rejected), (FIRST_PERIOD, 0))


if __name__ == "__main__":
    unittest.main()
