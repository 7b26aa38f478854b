"""The link core's guarantees, over real pseudo-terminals and socket pairs."""

import gc
import os
import termios
import threading
import time
import unittest

import KorvaPy
from korva import frame
from korva.errors import KorvaError
from korva.link import LinkNode
from korva.messages import Message
from korva.pipe import pipe_pair
from korva.serial import SerialNode
from korva_links import Heard, PtyPair, read_exactly, split_frames, wait_until

SUCCESS = KorvaPy.KORVA_STATUS_SUCCESS
DEFAULT = KorvaPy.KORVA_STATUS_DEFAULT
CRC_ERROR = KorvaPy.KORVA_STATUS_CRC_ERROR
GOOD = frame.encode(3, 14, frame.WRITE, 5, b"\x01\x02")  # FB 02 3E 14 01 02 D7 C8 BF


def collect(fd, until_bytes, timeout):
    """Read a descriptor slowly (small reads with pauses) until `until_bytes` came."""
    os.set_blocking(fd, False)
    wire = bytearray()
    deadline = time.monotonic() + timeout
    while len(wire) < until_bytes and time.monotonic() < deadline:
        try:
            wire += os.read(fd, 512)
        except BlockingIOError:
            pass
        time.sleep(0.0005)
    return bytes(wire)


class ResynchronisationTest(unittest.TestCase):
    """Bytes fed by hand: what a false start or a damaged frame costs."""

    def test_good_frames_behind_broken_ones_are_found(self):
        foreign_bad_crc = bytes((0xFB, 9, 0x35, 0x04)) + GOOD + b"\x00\x00\xbf"  # for node 5, swallows GOOD
        damaged = bytearray(GOOD)
        damaged[4] ^= 0x40
        cases = {
            "noise": (b"\x00\x11" + GOOD, [(SUCCESS, 5)]),
            "false start, wrong end byte": (b"\xfb\x02" + GOOD, [(SUCCESS, 5)]),
            "frame for another node with a bad checksum": (foreign_bad_crc, [(SUCCESS, 5)]),
            "damaged frame for us, then a good one": (bytes(damaged) + GOOD, [(CRC_ERROR, 5), (SUCCESS, 5)]),
        }
        for name, (stream, expected) in cases.items():
            with self.subTest(name):
                heard = Heard()
                node = LinkNode(14, on_message=heard)
                node.feed(stream)
                self.assertEqual([(m.status, m.message_id) for m in heard.messages], expected)
                self.assertEqual(heard.messages[-1].data, b"\x01\x02")

    def test_fragment_cut_short_gives_way_to_the_frame_inside_it(self):
        heard = Heard()
        node = LinkNode(14, on_message=heard)
        node.inter_byte_gap = 0.01
        node.feed(b"\xfb\x40" + GOOD)  # claims 64 body bytes; the line then goes quiet
        self.assertEqual(heard.messages, [])
        time.sleep(0.05)
        self.assertEqual(node.service(), SUCCESS)
        self.assertEqual(heard.messages, [Message(3, 14, frame.WRITE, 5, b"\x01\x02", SUCCESS)])
        stats = node.stats
        self.assertEqual((stats.cut_short, stats.bytes_hunted), (1, 1))


class FaultTest(unittest.TestCase):
    """Five ways the link once corrupted or lost frames."""

    def test_engine_answer_waits_for_the_open_streamed_frame(self):
        with PtyPair() as pty, SerialNode(3, pty.main) as node:
            os.write(pty.other, bytes.fromhex("fb0093fd3408bf"))  # node 9 asks for the version
            self.assertEqual(node.start_write_queue(KorvaPy.KV_INDICATE_EVENT, 9, 6, 3, 5), SUCCESS)
            self.assertEqual(node.push_to_queue([1, 2], 2), SUCCESS)
            self.assertEqual(node.poll(0.5), DEFAULT)
            self.assertEqual(node.push_to_queue([3], 1), SUCCESS)
            self.assertEqual(node.finalize_queue(5), SUCCESS)
            wire = bytes(read_exactly(pty.other, 21))
            self.assertEqual(wire.hex(), "fb03391b0102037f90bf" "fb0439fea4860100f889bf")
            self.assertEqual(node.stats.answers_held, 1)

    def test_two_threads_sending_through_one_node_never_interleave(self):
        per_thread, length = 1000, 200
        with PtyPair() as pty, SerialNode(3, pty.main, write_timeout=30) as node:
            statuses = []

            def send(message_id):
                for i in range(per_thread):
                    statuses.append(node.write(14, message_id, [message_id, i & 0xFF] + [0xFB] * (length - 2),
                                               length))

            wire = []
            reader = threading.Thread(target=lambda: wire.append(collect(
                pty.other, 2 * per_thread * (length + frame.OVERHEAD), timeout=60)))
            senders = [threading.Thread(target=send, args=(message_id,)) for message_id in (1, 2)]
            for thread in [reader] + senders:
                thread.start()
            for sender in senders:
                sender.join(timeout=60)
            self.assertTrue(node.flush(30))
            reader.join(timeout=60)
        frames, stray = split_frames(wire[0])
        self.assertEqual(stray, 0)
        self.assertEqual(statuses, [SUCCESS] * 2 * per_thread)
        self.assertTrue(all(f.ok for f in frames))
        for message_id in (1, 2):
            sequence = [f.data[1] for f in frames if f.message_id == message_id]
            self.assertEqual(sequence, [i & 0xFF for i in range(per_thread)])

    def test_frames_reported_sent_reach_a_slow_reader_with_no_later_call(self):
        per_thread, length = 1000, 10
        expected = 2 * per_thread * (length + frame.OVERHEAD)
        with PtyPair() as pty, SerialNode(3, pty.main, write_timeout=30) as node:
            statuses, last_write = [], []

            def send(message_id):
                for i in range(per_thread):
                    statuses.append(node.write(14, message_id, [message_id, i >> 8, i & 0xFF] + [0xBF] * (length - 3),
                                               length))
                last_write.append(time.monotonic())

            def read_slowly():  # 1 KiB every 10 ms
                data, deadline = b"", time.monotonic() + 60
                while len(data) < expected and time.monotonic() < deadline:
                    data += bytes(read_exactly(pty.other, min(1024, expected - len(data)), timeout=0.01))
                    time.sleep(0.01)
                wire.append((data, time.monotonic()))

            wire = []
            reader = threading.Thread(target=read_slowly)
            senders = [threading.Thread(target=send, args=(message_id,)) for message_id in (1, 2)]
            for thread in [reader] + senders:
                thread.start()
            for thread in senders + [reader]:
                thread.join(timeout=90)
            # Only now does the node hear from us again (its close, on leaving the block).
            data, finished = wire[0]
        frames, stray = split_frames(data)
        print("\nlast frame on the wire %.3f s after the last write" % (finished - max(last_write)))
        self.assertEqual(statuses, [SUCCESS] * 2 * per_thread)
        self.assertEqual((len(data), stray), (expected, 0))
        for message_id in (1, 2):
            sequence = [(f.data[1] << 8) | f.data[2] for f in frames if f.ok and f.message_id == message_id]
            self.assertEqual(sequence, list(range(per_thread)))

    def test_every_frame_type_is_padded_to_the_fixed_packet_size(self):
        node = LinkNode(3)
        node.set_fixed_packet_size(20)
        node.send(frame.INDICATE, 14, 7, b"\x01")
        node.respond(Message(14, 3, frame.REQUEST, 6, b"", SUCCESS), b"ok")
        node.request_reserved(14, frame.VERSION_REQUEST_ID)
        self.assertEqual(node.write(14, 5, [1, 2], 2), SUCCESS)
        frames, stray = split_frames(node.take_output())
        self.assertEqual(stray, 0)
        self.assertEqual([(f.message_type, f.message_id, f.data, f.status) for f in frames], [
            (frame.INDICATE, 7, b"\x01" + bytes(12), "ok"),
            (frame.RESPONSE, 6, b"ok" + bytes(11), "ok"),
            (frame.REQUEST, 63, bytes(13), "ok"),
            (frame.WRITE, 5, b"\x01\x02" + bytes(11), "ok")])

    def test_a_streamed_frame_is_the_one_shot_frame_in_pieces(self):
        node = LinkNode(3)
        with node.streamed(frame.INDICATE, 9, 6, 3) as stream:
            stream.push(b"\x01\x02")
            stream.push(b"\x03")
        self.assertEqual(node.take_output(), frame.encode(3, 9, frame.INDICATE, 6, b"\x01\x02\x03"))

    def test_an_abandoned_stream_sends_the_answer_held_during_it(self):
        node = LinkNode(3)
        node.inter_byte_gap = 0.001
        self.assertEqual(node.start_write_queue(KorvaPy.KV_INDICATE_EVENT, 9, 6, 3, 5), SUCCESS)
        node.feed(frame.encode(9, 3, frame.REQUEST, frame.VERSION_REQUEST_ID))
        self.assertEqual(node.stats.answers_held, 1)
        self.assertTrue(node.abandon_stream())
        fragment, answer = b"\xfb\x03\x39\x1b", frame.encode(3, 9, frame.RESPONSE, 63, bytes.fromhex("a4860100"))
        self.assertEqual(node.take_output(), fragment + answer)
        self.assertFalse(node.abandon_stream())

    def test_a_send_that_times_out_queues_nothing_and_its_retry_goes_out_once(self):
        payload = list(range(200))
        with PtyPair() as pty, SerialNode(3, pty.main, write_timeout=0.1) as node:
            accepted = 0
            for _ in range(1000):  # nobody reads: the line, then the backlog fills
                status = node.write(14, 1, payload, len(payload))
                if status != SUCCESS:
                    break
                accepted += 1
            self.assertEqual(status, KorvaPy.KORVA_STATUS_TIMEOUT)
            backlog = node.backlog
            reader = threading.Thread(target=lambda: wire.append(collect(
                pty.other, (accepted + 1) * (len(payload) + frame.OVERHEAD), timeout=20)))
            wire = []
            reader.start()
            node.write_timeout = 10
            self.assertEqual(node.write(14, 1, payload, len(payload)), SUCCESS)
            self.assertTrue(node.flush(10))
            reader.join(timeout=30)
        frames, stray = split_frames(wire[0])
        self.assertGreater(backlog, 0)
        self.assertEqual((len(frames), stray), (accepted + 1, 0))
        self.assertTrue(all(f.ok and f.data == bytes(payload) for f in frames))

    def test_a_fragment_on_an_idle_line_is_dropped(self):
        for fragment in (b"\xfb", b"\xfb\x02", b"\xfb\x02\x3e"):
            with self.subTest(fragment=fragment.hex()), PtyPair() as pty:
                heard = Heard()
                with SerialNode(14, pty.main, inter_byte_gap=0.05, on_message=heard) as node:
                    os.write(pty.other, fragment)
                    self.assertEqual(node.poll(0.3), DEFAULT)
                    os.write(pty.other, GOOD)
                    self.assertEqual(node.poll(2.0), SUCCESS)
                    self.assertEqual(heard.messages, [Message(3, 14, frame.WRITE, 5, b"\x01\x02", SUCCESS)])
                    self.assertEqual(node.stats.cut_short, 1)

    def test_a_dropped_node_restores_the_tty_and_closes_its_descriptor(self):
        with PtyPair() as pty:
            before = termios.tcgetattr(pty.other)
            node = SerialNode(3, os.ttyname(pty.other))
            fd = node.fileno()
            self.assertNotEqual(termios.tcgetattr(pty.other), before)
            del node
            gc.collect()
            with self.assertRaises(OSError):
                os.fstat(fd)
            self.assertEqual(termios.tcgetattr(pty.other), before)

    def test_a_vanished_line_raises_os_error_naming_it(self):
        with PtyPair() as pty:
            path = os.ttyname(pty.other)
            with SerialNode(3, path) as node:
                os.close(pty.main)
                with self.assertRaises(OSError) as caught:
                    for _ in range(20):
                        node.poll(0.05)
                        node.write(14, 1, [1], 1)
                self.assertIn(path, str(caught.exception))


class ThreadTest(unittest.TestCase):
    def test_streamed_frames_and_held_answers_with_poll_threads(self):
        frames_sent, requests = 300, 30
        heard = Heard()
        node3, node9 = pipe_pair(3, 9)
        node9.on_message = heard
        stop = threading.Event()

        def poll(node):
            while not stop.is_set():
                node.poll(0.01)

        pollers = [threading.Thread(target=poll, args=(node,)) for node in (node3, node9)]
        for poller in pollers:
            poller.start()
        try:
            asker = threading.Thread(target=lambda: [node9.request_reserved(3, 63) or time.sleep(0.002)
                                                     for _ in range(requests)])
            asker.start()
            for i in range(frames_sent):
                with node3.streamed(KorvaPy.KV_INDICATE_EVENT, 9, 6, 3) as stream:
                    stream.push([i & 0xFF, 1])
                    stream.push([2])
            asker.join(timeout=10)
            wait_until(lambda: len(heard.messages) >= frames_sent + requests, 10)
        finally:
            stop.set()
            for poller in pollers:
                poller.join(timeout=5)
        streamed = [m.data for m in heard.messages if m.message_id == 6]
        answers = [m.data for m in heard.messages if m.message_id == 63]
        self.assertTrue(all(m.ok for m in heard.messages))
        self.assertEqual(streamed, [bytes((i & 0xFF, 1, 2)) for i in range(frames_sent)])
        self.assertEqual(answers, [b"\xa4\x86\x01\x00"] * requests)
        print("\n%d streamed frames, %d version answers, %d of them held" % (
            len(streamed), len(answers), node3.stats.answers_held))

    def test_a_failing_streamed_block_abandons_its_frame(self):
        heard = Heard()
        node3, node9 = pipe_pair(3, 9, inter_byte_gap=0.05)
        node9.on_message = heard
        with self.assertRaises(RuntimeError):
            with node3.streamed(KorvaPy.KV_INDICATE_EVENT, 9, 6, 3) as stream:
                stream.push(b"\x01")
                raise RuntimeError("the producer failed")
        with self.assertRaises(KorvaError):
            with node3.streamed(KorvaPy.KV_INDICATE_EVENT, 9, 6, 3) as stream:
                pass  # nothing pushed: finalize refuses
        self.assertEqual(node3.write(9, 7, [7], 1), SUCCESS)
        wait_until(lambda: heard.messages, idle=lambda: node9.poll(0.1))
        self.assertEqual(heard.messages, [Message(3, 9, frame.WRITE, 7, b"\x07", SUCCESS)])


class SentFramesTest(unittest.TestCase):
    def test_sent_frames_are_shown_as_they_went_out_and_before_their_replies(self):
        node1, node2 = pipe_pair(1, 2)
        shown, arrived = [], []
        node1.on_sent = lambda event: shown.append(("out", event))
        node1.on_frame = lambda event: shown.append(("in", event))
        node2.on_frame = arrived.append
        node2.start_polling(0.01)
        try:
            version = node1.peer_version(2, timeout=5)
            self.assertEqual(node1.send(frame.WRITE, 2, 5, b"\x01\x02"), SUCCESS)
            wait_until(lambda: len(arrived) == 2, 10)
        finally:
            node2.close()
            node1.close()
        request, write = frame.encode(1, 2, frame.REQUEST, 63), frame.encode(1, 2, frame.WRITE, 5, b"\x01\x02")
        reply = frame.encode(2, 1, frame.RESPONSE, 63, version.to_bytes(4, "little"))
        self.assertEqual([(direction, event.raw) for direction, event in shown],
                         [("out", request), ("in", reply), ("out", write)])
        self.assertEqual([event.raw for event in arrived], [request, write])  # what the line carried
        self.assertEqual(shown[0][1].frame, frame.decode(request))


if __name__ == "__main__":
    unittest.main()
