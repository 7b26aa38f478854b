"""The monitor's text, JSON, filters and summary on fixed events."""

import io
import json
import unittest

from korva import frame, monitor
from korva.wire import Event

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


if __name__ == "__main__":
    unittest.main()
