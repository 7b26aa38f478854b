"""The monitor's text, JSON, filters and summary on fixed events, with and
without a schema."""

import io
import json
import math
import os
import struct
import unittest

from korva import frame, monitor, schema
from korva.schema.json import frame_document
from korva.wire import Event

HERE = os.path.dirname(__file__)
MOTOR = schema.load(os.path.join(HERE, "..", "..", "examples", "motor.toml"))
PROBE = schema.load(os.path.join(HERE, "schemas", "probe.toml"))

WRITE = Event(1.5, frame.encode(3, 14, frame.WRITE, 5, b"hi"), None)
WRITE = WRITE._replace(frame=frame.decode(WRITE.raw))
DAMAGED_RAW = frame.encode(14, 15, frame.INDICATE, 6, b"\x00")[:-1] + b"\x00"
DAMAGED = Event(2.0, DAMAGED_RAW, frame.decode(DAMAGED_RAW))
NOISE = Event(0.25, b"\x00\x11", None)


class MonitorTest(unittest.TestCase):
    def test_json_has_the_frame_fields_or_the_noise(self):
        self.assertEqual(json.loads(monitor.as_json(WRITE)), {
            "time": 1.5, "transmitter_id": 3, "receiver_id": 14, "message_type": "write", "message_id": 5,
            "data": "6869", "status": "ok", "direction": "in"})
        self.assertEqual(json.loads(monitor.as_json(DAMAGED))["status"], "end_byte_error")
        self.assertEqual(json.loads(monitor.as_json(NOISE)), {"time": 0.25, "noise": "0011"})

    def test_text_shows_addresses_body_and_check(self):
        self.assertEqual(monitor.as_text(WRITE), "  1.500000   3 -> 14  write     id  5  len   2  68 69 |hi|  ok")
        self.assertTrue(monitor.as_text(DAMAGED).endswith("end_byte_error"))
        self.assertEqual(monitor.as_text(NOISE), "  0.250000  noise    2 bytes  00 11")

    def test_filters_select_frames_matching_all_and_hide_noise(self):
        for texts, shown in (
                ([], [NOISE, WRITE, DAMAGED]),
                (["type=write"], [WRITE]),
                (["src=14", "id=0x6"], [DAMAGED]),
                (["dst=15"], [DAMAGED]),
                (["src=3", "dst=15"], [])):
            with self.subTest(texts=texts):
                filters = [monitor.parse_filter(text) for text in texts]
                self.assertEqual([e for e in (NOISE, WRITE, DAMAGED) if monitor.passes(e, filters)], shown)

    def test_bad_filters_are_refused(self):
        for text in ("src", "size=3", "type=reply", "dst=", "id=x"):
            with self.subTest(text=text), self.assertRaises(ValueError):
                monitor.parse_filter(text)

    def test_summary_counts_frames_errors_and_noise_bytes(self):
        out = io.StringIO()
        summary = monitor.Summary(out)
        for event in (NOISE, WRITE, DAMAGED, NOISE):
            summary.count(event)
        summary.close(2.0)
        self.assertEqual(out.getvalue(), "2 frames (1.0/s), 1 errors, 4 noise bytes\n")


def event(transmitter, receiver, message_type, message_id, body, damage=False):
    raw = frame.encode(transmitter, receiver, message_type, message_id, body)
    if damage:
        raw = raw[:-2] + bytes([raw[-2] ^ 0xFF]) + raw[-1:]
    return Event(0.5, raw, frame.decode(raw))


# Bodies packed here with struct, as the schema's wire rules lay them out.
SET_SPEED = event(3, 14, frame.WRITE, 5, struct.pack("<hBH", -1200, 1, 250))
SET_SPEED_REV1 = event(3, 14, frame.WRITE, 5, struct.pack("<hB", 300, 2))
UNKNOWN_MODE = event(3, 14, frame.WRITE, 5, struct.pack("<hBH", 0, 7, 0))
SHORT = event(3, 14, frame.WRITE, 5, b"\x01")
PARTIAL = event(3, 14, frame.WRITE, 5, struct.pack("<hBB", 1, 1, 0))
SPEED_EXTRA = event(14, 3, frame.RESPONSE, 6, struct.pack("<h", -5) + b"\xaa\xbb")
GET_SPEED = event(3, 14, frame.REQUEST, 6, b"")
STATUS = event(14, 15, frame.INDICATE, 7, struct.pack("<h4HB", -32768, 3300, 3301, 3302, 3303, 0b00101) + b"a\"b")
UNNAMED = event(3, 14, frame.WRITE, 9, b"zz")
DAMAGED_SPEED = event(3, 14, frame.WRITE, 5, struct.pack("<hBH", -1200, 1, 250), damage=True)
READING = event(1, 2, frame.INDICATE, 2, struct.pack("<BhHIB3f2Q", 1, -35, 1, 0xFFFFFFFF, 0b11010, 0.1, math.nan,
                                                     -0.0, 2 ** 64 - 1, 0) + "ü".encode())
SCALARS = event(1, 2, frame.WRITE, 1, struct.pack("<BbHhIiQqfd?", 0, 0, 0, 0, 0, 0, 0, 0, math.inf, -math.inf,
                                                  True) + b"\x01\xab")

class TypedMonitorTest(unittest.TestCase):
    def test_text_shows_the_message_or_the_hex_and_the_reason(self):
        # What follows the length; the columns before it are the same with or without a schema.
        for shown, schema_, body in (
                (SET_SPEED, MOTOR, "set_speed{rpm=-1200, mode=run, ramp_ms=250}  ok"),
                (SET_SPEED_REV1, MOTOR, "set_speed{rpm=300, mode=brake, ramp_ms=100}  ok"),
                (UNKNOWN_MODE, MOTOR, "set_speed{rpm=0, mode=7, ramp_ms=0}  ok"),
                (SHORT, MOTOR, "01 |.|  ok  decode_error: set_speed: 1 byte, fewer than the 3 it always has"),
                (PARTIAL, MOTOR, "01 00 01 00 |....|  ok  decode_error: set_speed.ramp_ms: the body ends inside "
                                 "it, after 4 bytes"),
                (SPEED_EXTRA, MOTOR, "speed{rpm=-5} +2 extra  ok"),
                (GET_SPEED, MOTOR, "get_speed{}  ok"),
                (STATUS, MOTOR, 'status{temp=invalid, cells=[3300, 3301, 3302, 3303], flags={armed, mode=run}, '
                                'note="a\\"b"}  ok'),
                (UNNAMED, MOTOR, "7a 7a |zz|  ok"),
                (DAMAGED_SPEED, MOTOR, "50 fb 01 fa 00 |P....|  crc_error"),
                (SET_SPEED, None, "50 fb 01 fa 00 |P....|  ok"),
                (READING, PROBE, "reading{level=high, temp=-3.5, volts=102, counter=invalid, flags={level=high, "
                                 "count=3}, samples=[0.1, NaN, -0.0], totals=[18446744073709551615, 0], "
                                 'label="ü"}  ok'),
                (SCALARS, PROBE, "scalars{u8=0, i8=0, u16=0, i16=0, u32=0, i32=0, u64=0, i64=0, f32=Infinity, "
                                 "f64=-Infinity, flag=true, blob=<01ab>}  ok")):
            with self.subTest(body=body):
                columns = monitor.as_text(shown).split("  len ")[0]
                self.assertEqual(monitor.as_text(shown, schema_),
                                 "%s  len %3d  %s" % (columns, len(shown.frame.data), body))

    def test_json_keeps_every_frame_key_and_adds_the_schemas(self):
        def frame_keys(shown):
            decoded = shown.frame
            return {"time": 0.5, "transmitter_id": decoded.transmitter_id, "receiver_id": decoded.receiver_id,
                    "message_type": frame.TYPE_NAMES[decoded.message_type], "message_id": decoded.message_id,
                    "data": decoded.data.hex(), "status": decoded.status, "direction": "in"}

        for shown, schema_, added in (
                (SET_SPEED, MOTOR, {"message": "set_speed", "fields": {"rpm": -1200, "mode": "run", "ramp_ms": 250}}),
                (UNKNOWN_MODE, MOTOR, {"message": "set_speed", "fields": {"rpm": 0, "mode": 7, "ramp_ms": 0}}),
                (SHORT, MOTOR, {"message": "set_speed",
                                "decode_error": "set_speed: 1 byte, fewer than the 3 it always has"}),
                (SPEED_EXTRA, MOTOR, {"message": "speed", "fields": {"rpm": -5}, "extra": 2}),
                (STATUS, MOTOR, {"message": "status", "fields": {
                    "temp": None, "cells": [3300, 3301, 3302, 3303],
                    "flags": {"armed": True, "fault": False, "mode": "run"}, "note": 'a"b'}}),
                (UNNAMED, MOTOR, {}),
                (DAMAGED_SPEED, MOTOR, {}),
                (SET_SPEED, None, {}),
                (READING, PROBE, {"message": "reading", "fields": {
                    "level": "high", "temp": -3.5, "volts": 102, "counter": None,
                    "flags": {"armed": False, "level": "high", "count": 3}, "samples": [0.1, "NaN", -0.0],
                    "totals": ["18446744073709551615", "0"], "label": "ü"}})):
            with self.subTest(shown=shown.raw.hex(), schema=schema_ and schema_.name):
                text = monitor.as_json(shown, schema_)
                document = json.loads(text, parse_constant=self.fail)  # no bare NaN or Infinity
                self.assertEqual(document, {**frame_keys(shown), **added})
                if "samples" in added.get("fields", {}):
                    self.assertEqual(math.copysign(1, document["fields"]["samples"][2]), -1)

    def test_a_sent_frame_is_out_and_the_shape_is_the_same(self):
        decoded = SET_SPEED.frame
        watched = frame_document(decoded, MOTOR, "in")
        sent = frame_document(decoded, MOTOR, "out")
        self.assertEqual((watched.pop("direction"), sent.pop("direction")), ("in", "out"))
        self.assertEqual(watched, sent)
        self.assertEqual(list(watched)[:6], ["transmitter_id", "receiver_id", "message_type", "message_id", "data",
                                             "status"])

    def test_msg_filters_match_the_schemas_name_of_intact_frames(self):
        events = [NOISE, SET_SPEED, SHORT, SPEED_EXTRA, GET_SPEED, UNNAMED, DAMAGED_SPEED]
        for texts, shown in (
                (["msg=set_speed"], [SET_SPEED, SHORT]),
                (["msg=speed"], [SPEED_EXTRA]),
                (["msg=get_speed", "src=3"], [GET_SPEED]),
                (["msg=get_speed", "src=14"], []),
                (["msg=status"], [])):
            with self.subTest(texts=texts):
                filters = [monitor.parse_filter(text) for text in texts]
                monitor.check_filters(filters, MOTOR)
                self.assertEqual([e for e in events if monitor.passes(e, filters, MOTOR)], shown)

    def test_msg_filters_need_a_schema_that_names_the_message(self):
        for text, schema_, reason in (("msg=set_speed", None, "needs a schema"),
                                      ("msg=set_sped", MOTOR, "names no message of motor")):
            with self.subTest(text=text), self.assertRaisesRegex(ValueError, reason):
                monitor.check_filters([monitor.parse_filter(text)], schema_)
        with self.assertRaises(ValueError):
            monitor.parse_filter("msg=")

    def test_the_schema_changes_no_count(self):
        counts = []
        for schema_ in (None, MOTOR):
            out = io.StringIO()
            summary = monitor.Summary(out)
            for shown in (NOISE, SET_SPEED, SHORT, DAMAGED_SPEED, UNNAMED):
                summary.count(shown)
                self.assertTrue(monitor.passes(shown, [], schema_))
            summary.close(1.0)
            counts.append(out.getvalue())
        self.assertEqual(counts, ["4 frames (4.0/s), 1 errors, 2 noise bytes\n"] * 2)


if __name__ == "__main__":
    unittest.main()
