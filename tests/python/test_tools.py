"""The `korva` command line on pseudo-terminals: monitor output for a
scripted stream, record -> tshark fields, record -> replay, and the node
commands against a real engine peer."""

import json
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
import tty
import unittest

import korva
from korva import frame
from korva.pcap import read_records
from korva_links import PtyPair, damaged, read_exactly, wait_until

DISSECTOR = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "wireshark", "korva.lua")


def korva_command(*args, timeout=30):
    return subprocess.run([sys.executable, "-m", "korva", *args], capture_output=True, text=True, timeout=timeout)


WRITE = frame.encode(3, 14, frame.WRITE, 5, b"\x01\x02")
REQUEST = frame.encode(14, 3, frame.REQUEST, 6)
RESPONSE = frame.encode(14, 3, frame.RESPONSE, 6, b"ok")
INDICATE = frame.encode(2, 15, frame.INDICATE, 63, b"\xfb")
BAD_CRC = damaged(frame.encode(1, 2, frame.WRITE, 1, b"abc"))
STREAM = b"\x00\x11" + WRITE + REQUEST + BAD_CRC + b"\xfb\x05\x01"


def frame_json(src, dst, message_type, message_id, data, status="ok"):
    return {"transmitter_id": src, "receiver_id": dst, "message_type": message_type, "message_id": message_id,
            "data": data, "status": status, "direction": "in"}


class PtyTest(unittest.TestCase):
    def open_pty(self):
        pty = PtyPair().__enter__()
        self.addCleanup(pty.__exit__)
        tty.setraw(pty.other)  # bytes written before the tool opens the tty arrive untouched
        return pty, os.ttyname(pty.other)


class MonitorTest(PtyTest):
    def monitor(self, *options):
        pty, path = self.open_pty()
        os.write(pty.main, STREAM)
        done = korva_command("monitor", "--port", path, "--json", "--duration", "0.5", *options)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(read_exactly(pty.main, 1, timeout=0.2), [], "the monitor wrote to the line")
        return [json.loads(line) for line in done.stdout.splitlines()], done.stderr

    def test_json_lines_summary_and_filters_without_writing(self):
        # Cutting and showing are tested where they live; this is the command's plumbing.
        for options, expected, summary_text in (
                ((), [{"noise": "0011"}, frame_json(3, 14, "write", 5, "0102"), frame_json(14, 3, "request", 6, ""),
                      frame_json(1, 2, "write", 1, "616263", "crc_error"),
                      {"noise": (BAD_CRC[1:] + b"\xfb\x05\x01").hex()}],
                 "3 frames \\([\\d.]+/s\\), 1 errors, %d noise bytes" % (2 + len(BAD_CRC) - 1 + 3)),
                (("--filter", "src=14", "--filter", "type=request"), [frame_json(14, 3, "request", 6, "")],
                 "3 frames")):
            with self.subTest(options=options):
                events, summary = self.monitor(*options)
                times = [event.pop("time") for event in events]
                self.assertEqual(events, expected)
                self.assertEqual(times, sorted(times))
                self.assertRegex(summary, summary_text)


class CaptureTest(PtyTest):
    FRAMES = [WRITE, BAD_CRC, INDICATE, RESPONSE]
    SPACING = 0.2

    def record(self, capture):
        pty, path = self.open_pty()
        recorder = subprocess.Popen([sys.executable, "-m", "korva", "record", capture, "--port", path,
                                     "--duration", "2"], stderr=subprocess.PIPE, text=True)
        self.addCleanup(recorder.kill)
        ready, _, _ = select.select([recorder.stderr], [], [], 30)
        self.assertTrue(ready, "the recorder never said it was listening")
        self.assertIn("recording", recorder.stderr.readline())
        for raw in self.FRAMES:
            os.write(pty.main, raw)
            time.sleep(self.SPACING)
        _, errors = recorder.communicate(timeout=30)
        self.assertEqual(recorder.returncode, 0, errors)
        self.assertIn("recorded 4 frames", errors)

    def test_record_keeps_frames_and_spacing_and_replay_writes_them_back(self):
        with tempfile.TemporaryDirectory() as folder:
            capture = os.path.join(folder, "line.pcap")
            self.record(capture)
            with open(capture, "rb") as file:
                records = list(read_records(file))
            self.assertEqual([data for _, data in records], self.FRAMES)
            gaps = [later[0] - earlier[0] for earlier, later in zip(records, records[1:])]
            self.assertTrue(all(gap >= self.SPACING * 0.75 for gap in gaps), gaps)

            pty, path = self.open_pty()
            started = time.monotonic()
            done = korva_command("replay", capture, "--port", path, "--speed", "2")
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertGreaterEqual(time.monotonic() - started, sum(gaps) / 2)
            wire = b"".join(self.FRAMES)
            self.assertEqual(bytes(read_exactly(pty.main, len(wire) + 1, timeout=0.5)), wire)

    @unittest.skipUnless(shutil.which("tshark"), "tshark is not installed")
    def test_tshark_reads_the_fields(self):
        with tempfile.TemporaryDirectory() as folder:
            capture = os.path.join(folder, "line.pcap")
            self.record(capture)
            fields = ["korva.src", "korva.dst", "korva.type", "korva.msg_id", "korva.len", "korva.payload",
                      "korva.crc", "korva.crc.status"]
            done = subprocess.run(["tshark", "-X", "lua_script:" + DISSECTOR, "-r", capture, "-T", "fields"]
                                  + [arg for field in fields for arg in ("-e", field)],
                                  capture_output=True, text=True, timeout=60)
            self.assertEqual(done.returncode, 0, done.stderr)
        rows = [line.split("\t") for line in done.stdout.splitlines()]
        expected = []
        for raw in self.FRAMES:
            decoded = frame.decode(raw)
            expected.append([str(decoded.transmitter_id), str(decoded.receiver_id), str(decoded.message_type),
                             str(decoded.message_id), str(len(decoded.data)), decoded.data.hex(),
                             "0x%04x" % int.from_bytes(raw[-3:-1], "big"), "good" if decoded.ok else "bad"])
        self.assertEqual(rows, expected)


class NodeCommandTest(PtyTest):
    def setUp(self):
        pty, self.path = self.open_pty()
        self.peer = korva.SerialNode(2, pty.main, on_message=self.answer)
        self.addCleanup(self.peer.close)
        self.received = []
        self.peer.start_polling()

    def answer(self, message_type, status, header):
        message = korva.Message.from_header(message_type, status, header)
        self.received.append(message)
        if message.message_type == frame.REQUEST:
            self.peer.respond(message, message.data[::-1])

    def test_request_scan_and_send(self):
        done = korva_command("request", "--port", self.path, "--from", "1", "--to", "2", "--id", "5", "01 02")
        self.assertEqual((done.returncode, done.stdout.split()), (0, "2 -> 1 response id 5 len 2 02 01 |..| ok".split()))

        done = korva_command("request", "--port", self.path, "--to", "3", "--id", "5", "--timeout", "0.2")
        self.assertEqual(done.returncode, 1)
        self.assertIn("no reply from node 3", done.stderr)

        done = korva_command("scan", "--port", self.path, "--from", "1", "--timeout", "0.1")
        self.assertEqual((done.returncode, done.stdout),
                         (0, "node  2: engine version %d\n" % self.peer.GET_KORVA_VERSION()))

        done = korva_command("send", "--port", self.path, "--from", "1", "--to", "2", "--id", "9", "--type",
                             "indicate", "--text", "hi")
        self.assertEqual(done.returncode, 0, done.stderr)
        wait_until(lambda: len(self.received) >= 3, 2)
        self.assertEqual(self.received[-1][:5], (1, 2, frame.INDICATE, 9, b"hi"))

    def test_usage_errors_exit_2_and_every_command_has_help(self):
        self.assertEqual(korva_command("send", "--port", self.path, "--to", "2").returncode, 2)
        self.assertEqual(korva_command("send", "--port", self.path, "--to", "16", "--id", "1").returncode, 2)
        for command in ("monitor", "send", "request", "scan", "record", "replay"):
            with self.subTest(command=command):
                done = korva_command(command, "--help")
                self.assertEqual(done.returncode, 0)
                self.assertTrue(re.match(r"usage: korva " + command, done.stdout), done.stdout)


if __name__ == "__main__":
    unittest.main()
