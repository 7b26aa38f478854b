"""The `korva` commands with --schema: monitor on a socat pty pair fed by a
scripted peer (every frame once, hex intact, fields decoded, bad bodies
with their reason, the same counts as without the schema), record and
replay printing what they carry, and scan asking an engine peer for its
schema's fingerprint."""

import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import tty
import unittest

import korva
from korva import frame, schema
from korva.pcap import PcapWriter, read_records
from korva_links import damaged, read_exactly, wait_until
from korva_servers import socat_ptys
from test_tools import PtyTest, korva_command

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
MOTOR = os.path.join(ROOT, "examples", "motor.toml")
SENSOR = os.path.join(ROOT, "firmware", "sensor.toml")
SENSOR_REV1 = os.path.join(ROOT, "firmware", "sensor_rev1.toml")
WATCH_SECONDS = "2.5"

# (frame, what the schema adds to its JSON object); bodies packed here with struct.
TYPED_FRAMES = [
    (frame.encode(3, 14, frame.WRITE, 5, struct.pack("<hBH", -1200, 1, 250)),
     {"message": "set_speed", "fields": {"rpm": -1200, "mode": "run", "ramp_ms": 250}}),
    (frame.encode(3, 14, frame.WRITE, 5, struct.pack("<hB", 6000, 0)),
     {"message": "set_speed", "fields": {"rpm": 6000, "mode": "idle", "ramp_ms": 100}}),
    (frame.encode(3, 14, frame.WRITE, 5, b"\x01"),
     {"message": "set_speed", "decode_error": "set_speed: 1 byte, fewer than the 3 it always has"}),
    (frame.encode(3, 14, frame.REQUEST, 6), {"message": "get_speed", "fields": {}}),
    (frame.encode(14, 3, frame.RESPONSE, 6, struct.pack("<h", -7) + b"\xaa\xbb"),
     {"message": "speed", "fields": {"rpm": -7}, "extra": 2}),
    (frame.encode(14, 15, frame.INDICATE, 7, struct.pack("<h4HB", 22, 1, 2, 3, 4, 0b110) + b"ok"),
     {"message": "status", "fields": {"temp": 2.2, "cells": [1, 2, 3, 4],
                                      "flags": {"armed": False, "fault": True, "mode": "run"}, "note": "ok"}}),
    (frame.encode(14, 15, frame.INDICATE, 7, struct.pack("<h4HB", -32768, 0, 0, 0, 0, 0) + b"\xff"),
     {"message": "status", "decode_error": "status.note: not UTF-8: invalid start byte"}),
    (frame.encode(3, 14, frame.WRITE, 9, b"zz"), {}),
    (damaged(frame.encode(3, 14, frame.WRITE, 5, struct.pack("<hBH", 1, 1, 1))), {}),
]
NOISE = b"\x00\x11"


def opened(pid, path):
    """Whether process `pid` holds `path` (or what it links to) open."""
    target = os.path.realpath(path)
    folder = "/proc/%d/fd" % pid
    try:
        return any(os.path.realpath(os.path.join(folder, fd)) == target for fd in os.listdir(folder))
    except OSError:
        return False


@unittest.skipUnless(shutil.which("socat"), "socat is not installed")
class TypedMonitorTest(unittest.TestCase):
    def watch(self, *options):
        """The monitor's stdout lines and stderr for the typed frames, written
        by a peer on the other end once the monitor holds its end."""
        ptys = socat_ptys(self)
        peer = os.open(ptys.b, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, peer)
        tty.setraw(peer)
        watching = subprocess.Popen([sys.executable, "-m", "korva", "monitor", "--port", ptys.a, "--duration",
                                     WATCH_SECONDS, *options], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    text=True)
        self.addCleanup(lambda: watching.poll() is None and watching.kill())
        self.assertTrue(wait_until(lambda: opened(watching.pid, ptys.a), 30), "the monitor never opened its line")
        os.write(peer, NOISE)
        for raw, _ in TYPED_FRAMES:
            os.write(peer, raw)
        out, errors = watching.communicate(timeout=60)
        self.assertEqual(watching.returncode, 0, errors)
        return out.splitlines(), errors

    def frames(self, lines):
        events = [json.loads(line) for line in lines]
        return [event for event in events if "noise" not in event], [e["noise"] for e in events if "noise" in e]

    def test_every_frame_once_with_its_hex_and_what_the_schema_adds(self):
        typed, typed_summary = self.watch("--json", "--schema", MOTOR)
        plain, plain_summary = self.watch("--json")
        typed_frames, typed_noise = self.frames(typed)
        plain_frames, plain_noise = self.frames(plain)
        self.assertEqual(len(typed_frames), len(TYPED_FRAMES))
        for event, plain_event, (raw, added) in zip(typed_frames, plain_frames, TYPED_FRAMES):
            decoded = frame.decode(raw)
            with self.subTest(frame=raw.hex()):
                expected = {"transmitter_id": decoded.transmitter_id, "receiver_id": decoded.receiver_id,
                            "message_type": frame.TYPE_NAMES[decoded.message_type],
                            "message_id": decoded.message_id, "data": raw[4:-3].hex(), "status": decoded.status,
                            "direction": "in"}
                event.pop("time")
                plain_event.pop("time")
                self.assertEqual(event, {**expected, **added})
                self.assertEqual(plain_event, expected)
        self.assertEqual(typed_noise, plain_noise)
        self.assertEqual(typed_noise[0], NOISE.hex())
        counts = re.compile(r"(\d+) frames \([\d.]+/s\), (\d+) errors, (\d+) noise bytes")
        self.assertEqual(counts.search(typed_summary).groups(), counts.search(plain_summary).groups())
        self.assertEqual(counts.search(typed_summary).groups()[:2], (str(len(TYPED_FRAMES)), "1"))

    def test_text_lines_and_the_message_filter(self):
        lines, _ = self.watch("--schema", MOTOR, "--filter", "msg=set_speed")
        self.assertEqual([line.split("  len ")[1] for line in lines], [
            "  5  set_speed{rpm=-1200, mode=run, ramp_ms=250}  ok",
            "  3  set_speed{rpm=6000, mode=idle, ramp_ms=100}  ok",
            "  1  01 |.|  ok  decode_error: set_speed: 1 byte, fewer than the 3 it always has"])

    def test_a_message_filter_needs_a_message_of_the_schema(self):
        done = korva_command("monitor", "--port", "/dev/null", "--schema", MOTOR, "--filter", "msg=nothing")
        self.assertEqual(done.returncode, 1)
        self.assertIn("msg=nothing names no message of motor", done.stderr)
        done = korva_command("monitor", "--port", "/dev/null", "--filter", "msg=status")
        self.assertEqual(done.returncode, 1)
        self.assertIn("needs a schema", done.stderr)


class TypedCaptureTest(PtyTest):
    INTACT = [raw for raw, added in TYPED_FRAMES if "fields" in added]

    def test_replay_prints_each_frame_decoded_as_it_writes_it(self):
        with tempfile.TemporaryDirectory() as folder:
            capture = os.path.join(folder, "line.pcap")
            with open(capture, "wb") as file:
                writer = PcapWriter(file)
                for index, (raw, _) in enumerate(TYPED_FRAMES):
                    writer.write(1000.0 + index * 0.01, raw)
            pty, path = self.open_pty()
            done = korva_command("replay", capture, "--port", path, "--schema", MOTOR)
        self.assertEqual(done.returncode, 0, done.stderr)
        wire = b"".join(raw for raw, _ in TYPED_FRAMES)
        self.assertEqual(bytes(read_exactly(pty.main, len(wire) + 1, timeout=2)), wire)
        shown = [line.split("  len ")[1] for line in done.stdout.splitlines()]
        self.assertEqual(len(shown), len(TYPED_FRAMES))
        self.assertEqual(shown[4], "  4  speed{rpm=-7} +2 extra  ok")
        self.assertEqual(shown[6], " 12  00 80 00 00 00 00 00 00 00 00 00 ff |............|  ok  decode_error: "
                                   "status.note: not UTF-8: invalid start byte")
        self.assertTrue(shown[8].endswith("crc_error"))

    def test_record_keeps_the_capture_and_prints_what_it_records(self):
        pty, path = self.open_pty()
        with tempfile.TemporaryDirectory() as folder:
            capture = os.path.join(folder, "line.pcap")
            recorder = subprocess.Popen([sys.executable, "-m", "korva", "record", capture, "--port", path,
                                         "--duration", WATCH_SECONDS, "--schema", MOTOR],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            self.addCleanup(lambda: recorder.poll() is None and recorder.kill())
            self.assertTrue(wait_until(lambda: opened(recorder.pid, path), 30), "the recorder never opened its line")
            os.write(pty.main, NOISE + b"".join(self.INTACT))
            out, errors = recorder.communicate(timeout=60)
            self.assertEqual(recorder.returncode, 0, errors)
            with open(capture, "rb") as file:
                self.assertEqual([data for _, data in read_records(file)], self.INTACT)
        self.assertIn("recorded %d frames" % len(self.INTACT), errors)
        self.assertEqual([line.split("  len ")[1] for line in out.splitlines()], [
            "  5  set_speed{rpm=-1200, mode=run, ramp_ms=250}  ok",
            "  3  set_speed{rpm=6000, mode=idle, ramp_ms=100}  ok",
            "  0  get_speed{}  ok",
            "  4  speed{rpm=-7} +2 extra  ok",
            ' 13  status{temp=2.2, cells=[1, 2, 3, 4], flags={fault, mode=run}, note="ok"}  ok'])


class TypedScanTest(PtyTest):
    """A real engine peer at id 2 that answers the fingerprint request
    (id 3) with `self.answer_body`, or not at all when it is None."""

    def setUp(self):
        pty, self.path = self.open_pty()
        self.answer_body = None
        self.peer = korva.SerialNode(2, pty.main, on_message=self.answer)
        self.addCleanup(self.peer.close)
        self.peer.start_polling()
        self.version = self.peer.GET_KORVA_VERSION()

    def answer(self, message_type, status, header):
        message = korva.Message.from_header(message_type, status, header)
        if message.message_type == frame.REQUEST and message.message_id == 3 and self.answer_body is not None:
            self.peer.respond(message, self.answer_body)

    def scan(self, *options):
        return korva_command("scan", "--port", self.path, "--from", "1", "--timeout", "0.1", *options)

    def test_verdicts(self):
        rev2 = schema.load(SENSOR).fingerprint
        rev1 = schema.load(SENSOR_REV1).fingerprint
        with tempfile.TemporaryDirectory() as folder:
            wider = os.path.join(folder, "wider.toml")
            with open(SENSOR_REV1) as source, open(wider, "w") as file:
                file.write(source.read().replace('{ name = "period", type = "u16", unit = "ms" }',
                                                 '{ name = "period", type = "u32", unit = "ms" }'))
            wider_print = schema.load(wider).fingerprint
            for body, options, verdict in (
                    (struct.pack("<IHHHHbI", int(rev2, 16), 2, 1000, 1, 0, 0, 12), (),
                     "same schema (sensor revision 2, fingerprint %s)\n" % rev2),
                    (struct.pack("<IHHHHb", int(rev1, 16), 1, 1000, 1, 0, 0), (),
                     "compatible at revision 1 (sensor is at 2)\n"),
                    (struct.pack("<IHIHHb", int(wider_print, 16), 1, 1000, 1, 0, 0), (),
                     "incompatible: fingerprint %s at revision 1 is not sensor's at 1 (%s)\n" % (wider_print, rev1)),
                    (struct.pack("<IHIHHb", int(wider_print, 16), 1, 1000, 1, 0, 0), ("--peer-schema", wider),
                     "incompatible: fingerprint %s is %s's at revision 1\n    status.period: type u32 -> u16\n"
                     % (wider_print, wider)),
                    (struct.pack("<IHHHHbI", int(rev2, 16), 3, 1000, 1, 0, 0, 12), (),
                     "newer: revision 3, after sensor's 2; not checked, its later fields show as extra\n"),
                    (b"\x01\x02", (), "incompatible: fingerprint reply: 2 bytes, fewer than the 6 of fingerprint and "
                                      "revision\n"),
                    (None, (), "no answer to get_status\n")):
                with self.subTest(verdict=verdict):
                    self.answer_body = body
                    done = self.scan("--schema", SENSOR, *options)
                    self.assertEqual((done.returncode, done.stdout),
                                     (0, "node  2: engine version %d, %s" % (self.version, verdict)), done.stderr)

    def test_a_schema_without_a_fingerprint_request_is_refused(self):
        done = self.scan("--schema", MOTOR)
        self.assertEqual(done.returncode, 1)
        self.assertIn("names no fingerprint request", done.stderr)
        self.assertEqual(done.stdout, "")


if __name__ == "__main__":
    unittest.main()
