import os
import subprocess
import sys
import tempfile
import termios
import time
import unittest

import KorvaPy
from korva import frame
from korva.frame import crc16
from korva.messages import Message
from korva.serial import SerialNode
from korva_links import Heard, PtyPair, read_exactly

SUCCESS = KorvaPy.KORVA_STATUS_SUCCESS

DEMO = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "serial_demo.py")


class OpeningTest(unittest.TestCase):
    def test_unusable_devices_raise_os_error_naming_them(self):
        missing = "/dev/no-such-serial-device"
        with self.assertRaises(OSError) as caught:
            SerialNode(3, missing)
        self.assertIn(missing, str(caught.exception))
        with tempfile.NamedTemporaryFile() as regular:
            with self.assertRaises(OSError) as caught:
                SerialNode(3, regular.name)
            self.assertIn(regular.name, str(caught.exception))
        with self.assertRaises(OSError) as caught:
            SerialNode(3, "/dev/null")
        self.assertIn("/dev/null", str(caught.exception))

    @unittest.skipIf(os.geteuid() == 0, "root opens any device")
    def test_permission_denied_names_the_device(self):
        with PtyPair() as pty:
            path = os.ttyname(pty.other)
            os.chmod(path, 0)
            with self.assertRaises(OSError) as caught:
                SerialNode(3, path)
            self.assertIn(path, str(caught.exception))

    def test_unknown_baud_rate_is_a_value_error_naming_it(self):
        with PtyPair() as pty:
            for rate in (12345, 0, 9600.0):
                with self.assertRaisesRegex(ValueError, str(rate)):
                    SerialNode(3, pty.other, baud=rate)

    def test_opened_by_path(self):
        with PtyPair() as pty:
            path = os.ttyname(pty.other)
            with SerialNode(14, path, baud=57600) as node:
                self.assertEqual(node.device, path)
                self.assertEqual(termios.tcgetattr(pty.other)[4], termios.B57600)
                os.write(pty.main, bytes([0xFB, 0x02, 0x3E, 0x14, 0x01, 0x02, 0xD7, 0xC8, 0xBF]))
                self.assertEqual(node.poll(2.0), KorvaPy.KORVA_STATUS_SUCCESS)

    def test_raw_mode_at_the_rate_and_restored_on_close(self):
        with PtyPair() as pty:
            before = termios.tcgetattr(pty.other)
            with SerialNode(3, pty.other, baud=9600) as node:
                raw = termios.tcgetattr(pty.other)
                self.assertEqual(raw[4], termios.B9600)
                self.assertEqual(raw[2] & termios.CSIZE, termios.CS8)
                self.assertFalse(raw[2] & (termios.PARENB | termios.CSTOPB))
                self.assertFalse(raw[3] & (termios.ICANON | termios.ECHO))
                self.assertFalse(node.closed)
            self.assertTrue(node.closed)
            self.assertEqual(termios.tcgetattr(pty.other), before)
            os.write(pty.other, b"x")  # the caller's descriptor is still open
            node.close()  # a second close is harmless


class TransportTest(unittest.TestCase):
    def test_request_reserved_writes_the_request_frame(self):
        with PtyPair() as pty, SerialNode(3, pty.main) as node:
            self.assertEqual(node.request_reserved(14, 63), KorvaPy.KORVA_STATUS_SUCCESS)
            self.assertEqual(read_exactly(pty.other, 7), [0xFB, 0x00, 0x3E, 0xFD, 0x5A, 0x01, 0xBF])
            for bad in (59, 64, -1):
                with self.assertRaises(ValueError):
                    node.request_reserved(14, bad)
            with self.assertRaises(ValueError):
                node.request_reserved(16, 63)
        self.assertEqual(crc16(b"123456789"), 0xAEE7)

    def test_poll_waits_read_timeout_when_given_none(self):
        with PtyPair() as pty, SerialNode(3, pty.main, read_timeout=0.2) as node:
            started = time.monotonic()
            self.assertEqual(node.poll(), KorvaPy.KORVA_STATUS_DEFAULT)
            self.assertGreaterEqual(time.monotonic() - started, 0.2)

    def test_write_timeout_when_nobody_reads(self):
        with PtyPair() as pty, SerialNode(3, pty.main, write_timeout=0.2) as node:
            status = KorvaPy.KORVA_STATUS_SUCCESS
            for _ in range(2000):  # fill the pseudo-terminal's buffer, then the backlog
                status = node.write(14, 1, [0] * 255, 255)
                if status != KorvaPy.KORVA_STATUS_SUCCESS:
                    break
            self.assertEqual(status, KorvaPy.KORVA_STATUS_TIMEOUT)
            self.assertEqual(node.stats.write_timeouts, 1)
            self.assertFalse(node.flush(0.05))


class ConversationTest(unittest.TestCase):
    def test_two_nodes_in_one_process(self):
        heard_by_3, heard_by_14 = Heard(), Heard()
        with PtyPair() as pty, SerialNode(3, pty.main, on_message=heard_by_3) as node3, \
                SerialNode(14, pty.other, on_message=heard_by_14) as node14:
            payload = list(range(255))
            self.assertEqual(node3.write(14, 1, payload, 255), KorvaPy.KORVA_STATUS_SUCCESS)
            self.assertEqual(node14.poll(2.0), KorvaPy.KORVA_STATUS_SUCCESS)
            self.assertEqual(node14.write(3, 2, [7], 1), KorvaPy.KORVA_STATUS_SUCCESS)
            self.assertEqual(node3.poll(2.0), KorvaPy.KORVA_STATUS_SUCCESS)

            node3.request_reserved(14, 63)
            self.assertEqual(node14.poll(2.0), KorvaPy.KORVA_STATUS_DEFAULT)  # answered, not delivered
            self.assertEqual(node3.poll(2.0), KorvaPy.KORVA_STATUS_SUCCESS)
            self.assertEqual(node3.poll(0.1), KorvaPy.KORVA_STATUS_DEFAULT)

        self.assertEqual(heard_by_14.messages, [Message(3, 14, frame.WRITE, 1, bytes(payload), SUCCESS)])
        self.assertEqual(heard_by_3.messages, [Message(14, 3, frame.WRITE, 2, b"\x07", SUCCESS),
                                               Message(14, 3, frame.RESPONSE, 63, b"\xa4\x86\x01\x00", SUCCESS)])

    def test_subclass_callback_and_new_id(self):
        class Node(SerialNode):
            heard = []

            def __rx_callback__(self, message_type, status, header):
                self.heard.append(header.transmitter_id)

        with PtyPair() as pty, Node(3, pty.main) as node3, SerialNode(14, pty.other) as node14:
            node14.assign_new_id(0x1B)
            self.assertEqual(node14.own_id, 11)
            node14.write(3, 1, [], 0)
            node3.poll(2.0)
            node14.request_reserved(3, 60)
            node3.poll(2.0)
            self.assertEqual(read_exactly(pty.other, 7), [0xFB, 0x00, 0x3B, 0xF2, *crc_bytes([0xFB, 0x00, 0x3B, 0xF2]),
                                                          0xBF])
        self.assertEqual(Node.heard, [11])

    def test_two_processes_run_the_demo(self):
        result = subprocess.run([sys.executable, DEMO], capture_output=True, text=True, timeout=60,
                                env=dict(os.environ))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("node 14 runs engine version 100004", result.stdout)
        self.assertIn("got the 200-byte streamed message intact", result.stdout)
        self.assertIn("node 14: got public write 'hello everyone'", result.stdout)
        self.assertIn("node  3: got public write 'hello everyone' addressed to 15", result.stdout)


def crc_bytes(data):
    checksum = crc16(data)
    return [checksum >> 8, checksum & 0xFF]


if __name__ == "__main__":
    unittest.main()
