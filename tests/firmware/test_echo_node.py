"""The echo node on an emulated board, against the host's own korva package.

CTest names the board and its image in the environment: KORVA_BOARD,
KORVA_FIRMWARE_IMAGE and, for the AVR, KORVA_SIMAVR_PTY (the simavr
runner). One node stays open on the emulator's terminal for the whole run,
and a bare line beside it puts noise and damaged frames on the wire. Every
frame that comes back is compared byte for byte with the one the host's
own codec composes, and counted.
"""

import os
import random
import subprocess
import sys
import time
import unittest

import KorvaPy
from korva import KorvaTimeout, frame, open_node
from korva.connect import open_line

from emulators import Emulator

HOST_ID = 3
NODE_ID = 14
OTHER_ID = 5
FIRST_ANSWER_TIMEOUT = 30.0  # QEMU answers late right after start
RETRY_INTERVAL = 0.25
ANSWER_TIMEOUT = 5.0         # the AVR's answers come at the emulated baud rate
SILENCE = 0.5
# The host drops a fragment after this quiet time; an emulator on a busy
# machine can pause longer than a real UART between two bytes.
HOST_GAP = 1.0
NOISE_ROUNDS = 100
MISSES_SHOWN = 3  # a broken node stops a noise kind early rather than wait out every round
STREAM_PIECE = 64
# Quiet between pieces, so the node gets the frame in parts, yet well below
# the 100 ms after which it gives a fragment up.
PIECE_PAUSE = 0.02
NO_START_BYTES = bytes(b for b in range(256) if b != frame.START)
# The request a scanning host sends and the answer the engine's version gives.
VERSION_ANSWER = bytes.fromhex("fb 04 e3 fe a4 86 01 00 48 5d bf")
SUCCESS = KorvaPy.KORVA_STATUS_SUCCESS


def pattern(length, seed):
    """A body of `length` bytes that goes through every value, start and
    end bytes included."""
    return bytes((seed + 7 * i) % 256 for i in range(length))


def echo_of(message_id, body, sender=HOST_ID):
    """The frame the echo node sends back for a write."""
    return frame.encode(NODE_ID, sender, frame.WRITE, message_id, body)


def damaged(raw, offset, new_value):
    out = bytearray(raw)
    out[offset] = new_value
    return bytes(out)


class EchoNodeTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        runner = os.environ.get("KORVA_SIMAVR_PTY")
        cls.emulator = Emulator(os.environ["KORVA_BOARD"], os.environ["KORVA_FIRMWARE_IMAGE"], runner=runner)
        cls.addClassCleanup(cls.emulator.stop)
        pty = cls.emulator.start()
        cls.wire = []  # every frame the host's link cuts from the line, as it came
        cls.node = open_node(pty, HOST_ID, inter_byte_gap=HOST_GAP)
        cls.addClassCleanup(cls.node.close)
        cls.node.on_frame = lambda event: cls.wire.append(event.raw)
        cls.line = open_line(pty)
        cls.addClassCleanup(cls.line.close)
        cls.first_answer = cls.wait_for_first_answer()

    @classmethod
    def wait_for_first_answer(cls):
        attempts = int(FIRST_ANSWER_TIMEOUT / RETRY_INTERVAL)
        for _ in range(attempts):
            try:
                return cls.node.request(NODE_ID, frame.VERSION_REQUEST_ID, timeout=RETRY_INTERVAL)
            except KorvaTimeout:
                continue
        raise AssertionError("no answer from %s within %g s; it said:\n%s"
                             % (cls.emulator.board, FIRST_ANSWER_TIMEOUT, cls.emulator.output))

    def setUp(self):
        # Late answers to the first requests, or anything a failed case left.
        try:
            while True:
                self.node.receive(SILENCE)
        except KorvaTimeout:
            pass
        self.wire.clear()

    # --- helpers ----------------------------------------------------------

    def put_raw(self, data):
        """Bytes on the wire as they are, beside the node's own sends."""
        written = 0
        while written < len(data):
            self.assertTrue(self.line.wait(False, True, ANSWER_TIMEOUT), "the terminal takes no bytes")
            written += self.line.write(data[written:])

    def answered(self, expected):
        """Waits for one frame back and checks it is `expected`, and alone."""
        try:
            self.node.receive(ANSWER_TIMEOUT)
        except KorvaTimeout:
            self.fail("no answer within %g s; expected %s" % (ANSWER_TIMEOUT, expected.hex(" ")))
        got, self.wire[:] = list(self.wire), []
        self.assertEqual([raw.hex(" ") for raw in got], [expected.hex(" ")])

    def silent(self):
        with self.assertRaises(KorvaTimeout):
            self.node.receive(SILENCE)
        self.assertEqual(self.wire, [])

    def write(self, message_id, body):
        self.assertEqual(self.node.send(frame.WRITE, NODE_ID, message_id, body), SUCCESS)

    # --- cases --------------------------------------------------------------

    def test_version_answer(self):
        raw = frame.encode(self.first_answer.transmitter_id, self.first_answer.receiver_id,
                           self.first_answer.message_type, self.first_answer.message_id, self.first_answer.data)
        self.assertEqual(raw.hex(" "), VERSION_ANSWER.hex(" "))
        self.put_raw(frame.encode(HOST_ID, NODE_ID, frame.REQUEST, frame.VERSION_REQUEST_ID))
        self.answered(VERSION_ANSWER)
        self.silent()

    def test_reserved_requests_60_to_62_answered_empty(self):
        for message_id in (60, 61, 62):
            with self.subTest(message_id=message_id):
                self.put_raw(frame.encode(HOST_ID, NODE_ID, frame.REQUEST, message_id))
                self.answered(frame.encode(NODE_ID, HOST_ID, frame.RESPONSE, message_id))
        self.silent()

    def test_echo_of_every_body_size(self):
        for size in range(frame.MAX_PAYLOAD + 1):
            with self.subTest(size=size):
                body = pattern(size, size)
                self.write(size % 64, body)  # writes with ids 60 to 63 are echoed too
                self.answered(echo_of(size % 64, body))
        self.silent()

    def test_public_write_echoed_to_its_sender(self):
        body = pattern(12, 5)
        self.assertEqual(self.node.write_public(7, list(body), len(body)), SUCCESS)
        self.answered(echo_of(7, body))
        self.silent()

    def test_longest_frame_streamed_in_pieces_echoed(self):
        body = pattern(frame.MAX_PAYLOAD, 1)
        with self.node.streamed(KorvaPy.KV_WRITE_EVENT, NODE_ID, 33, len(body)) as stream:
            for start in range(0, len(body), STREAM_PIECE):
                stream.push(body[start:start + STREAM_PIECE])
                time.sleep(PIECE_PAUSE)
        self.answered(echo_of(33, body))
        self.silent()

    def test_silence_for_other_nodes_and_damaged_frames(self):
        good = frame.encode(HOST_ID, NODE_ID, frame.WRITE, 21, b"checked")
        version_request = frame.encode(HOST_ID, NODE_ID, frame.REQUEST, frame.VERSION_REQUEST_ID)
        unanswered = {
            "write to another node": frame.encode(HOST_ID, OTHER_ID, frame.WRITE, 21, b"other"),
            "request to another node": frame.encode(HOST_ID, OTHER_ID, frame.REQUEST, frame.VERSION_REQUEST_ID),
            "body damaged": damaged(good, 6, good[6] ^ 0x01),
            "end byte damaged": damaged(good, len(good) - 1, 0x00),
            "request with damaged checksum": damaged(version_request, 4, version_request[4] ^ 0x80),
        }
        for name, raw in unanswered.items():
            with self.subTest(name):
                self.put_raw(raw)
                self.silent()
        # Still listening, and nothing of the rejected frames held back.
        self.write(22, b"after")
        self.answered(echo_of(22, b"after"))
        self.silent()

    def test_writes_after_noise_all_echoed(self):
        rng = random.Random(17)
        body = pattern(8, 40)
        noises = {
            "bytes without a start byte": lambda: bytes(rng.choice(NO_START_BYTES) for _ in range(rng.randint(1, 40))),
            "random bytes": lambda: bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 40))),
            # A header announcing 200 bytes: only the quiet after it ends it.
            "false start announcing 200 bytes": lambda: bytes((frame.START, 200, 0x3E, 0x14)),
            # Its "frame" is 9 bytes long and ends inside the real one.
            "false start ending inside the frame": lambda: bytes((frame.START, 2, 0x3E, 0x14)),
        }
        for name, noise in noises.items():
            with self.subTest(name):
                missed = []
                for round_number in range(NOISE_ROUNDS):
                    message_id = round_number % 60
                    self.put_raw(noise())
                    self.write(message_id, body)
                    try:
                        self.node.receive(ANSWER_TIMEOUT)
                    except KorvaTimeout:
                        pass
                    got, self.wire[:] = list(self.wire), []
                    if got != [echo_of(message_id, body)]:
                        missed.append((round_number, [raw.hex(" ") for raw in got]))
                        if len(missed) == MISSES_SHOWN:
                            break
                self.assertEqual(missed, [], "writes not echoed exactly (round, frames back)")

    def test_scan_finds_node_14(self):
        scan = subprocess.run([sys.executable, "-m", "korva", "scan", "--port", self.emulator.pty],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                              timeout=60)
        self.assertEqual(scan.returncode, 0, scan.stderr)
        self.assertEqual(scan.stdout.splitlines(), ["node 14: engine version 100004"])


if __name__ == "__main__":
    unittest.main()
