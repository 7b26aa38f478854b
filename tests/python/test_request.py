"""Request and reply over a pseudo-terminal, against a scripted peer that
answers late, never, twice or with damaged frames, and against a real
engine peer with poll threads on both sides."""

import os
import threading
import time
import unittest

import KorvaPy
import korva
from korva import frame
from korva_links import PtyPair, read_exactly

ME, PEER = 1, 2
REQUEST = frame.encode(ME, PEER, frame.REQUEST, 5, b"?")


def response(data, sender=PEER, message_id=5):
    return frame.encode(sender, ME, frame.RESPONSE, message_id, data)


def damaged(raw):
    raw = bytearray(raw)
    raw[-3] ^= 0x01
    return bytes(raw)


class ScriptedPeer(threading.Thread):
    """Reads `requests` request frames from the pty and, after each,
    writes what `answer(index)` returns, `delay` seconds later."""

    def __init__(self, fd, requests, answer=lambda index: b"", delay=0.0):
        super().__init__(daemon=True)
        self.fd, self.requests, self.answer, self.delay = fd, requests, answer, delay
        self.seen = []

    def run(self):
        for index in range(self.requests):
            got = bytes(read_exactly(self.fd, len(REQUEST), timeout=3.0))
            self.seen.append(got)
            if len(got) < len(REQUEST):
                return
            time.sleep(self.delay)
            os.write(self.fd, self.answer(index))


class ScriptedPeerTest(unittest.TestCase):
    def setUp(self):
        self.pty = PtyPair().__enter__()
        self.addCleanup(self.pty.__exit__)
        self.delivered = []
        self.node = korva.SerialNode(ME, self.pty.other, on_message=lambda *args: self.delivered.append(args))
        self.addCleanup(self.node.close)

    def ask(self, answer, requests=1, delay=0.0, **options):
        peer = ScriptedPeer(self.pty.main, requests, answer, delay)
        peer.start()
        try:
            return self.node.request(PEER, 5, b"?", **options)
        finally:
            peer.join(5)
            self.assertEqual(peer.seen, [REQUEST] * requests)

    def poll_until(self, condition, timeout=2.0):
        deadline = time.monotonic() + timeout
        while not condition() and time.monotonic() < deadline:
            self.node.poll(0.05)

    def test_only_an_intact_response_from_the_receiver_with_the_id_is_the_reply(self):
        decoys = [response(b"x", sender=3), response(b"x", message_id=6), damaged(response(b"x")),
                  frame.encode(PEER, ME, frame.INDICATE, 5, b"x")]
        reply = self.ask(lambda index: b"".join(decoys) + response(b"good"))
        self.assertEqual(reply, korva.Message(PEER, ME, frame.RESPONSE, 5, b"good", KorvaPy.KORVA_STATUS_SUCCESS))
        self.assertEqual(len(self.delivered), len(decoys))
        self.assertEqual(self.node.stats.unmatched_responses, 3)

    def test_a_second_reply_goes_to_on_message_and_is_counted(self):
        reply = self.ask(lambda index: response(b"first") + response(b"second"))
        self.assertEqual(reply.data, b"first")
        self.poll_until(lambda: self.delivered)
        self.assertEqual([bytes(header.data) for _, _, header in self.delivered], [b"second"])
        self.assertEqual(self.node.stats.unmatched_responses, 1)

    def test_no_reply_raises_after_every_attempt_went_out(self):
        started = time.monotonic()
        with self.assertRaises(korva.KorvaTimeout):
            self.ask(lambda index: b"", requests=3, timeout=0.2, retries=2)
        self.assertGreaterEqual(time.monotonic() - started, 0.6)

    def test_a_late_reply_is_not_taken_but_reaches_on_message(self):
        with self.assertRaises(TimeoutError):
            self.ask(lambda index: response(b"late"), delay=0.4, timeout=0.2)
        self.poll_until(lambda: self.delivered)
        self.assertEqual(len(self.delivered), 1)
        self.assertEqual(self.node.stats.unmatched_responses, 1)

    def test_a_retry_takes_the_reply_to_its_own_attempt(self):
        reply = self.ask(lambda index: response(b"%d" % index) if index == 1 else b"", requests=2,
                         timeout=0.3, retries=1)
        self.assertEqual(reply.data, b"1")

    def test_receive_filters_and_keeps_what_nobody_waited_for(self):
        self.node.on_message = None
        os.write(self.pty.main, frame.encode(PEER, ME, frame.WRITE, 7, b"a")
                 + frame.encode(3, ME, frame.INDICATE, 8, b"b"))
        self.poll_until(lambda: self.node.backlog == 0 and self.node.stats.bytes_received >= 16)
        self.assertEqual(self.node.receive(1.0, transmitter_id=3).data, b"b")
        self.assertEqual(self.node.receive(1.0, message_type=frame.WRITE).data, b"a")
        with self.assertRaises(korva.KorvaTimeout):
            self.node.receive(0.1)


class EnginePeerTest(unittest.TestCase):
    """Two engines on a pty pair, each with a poll thread; the peer answers
    requests from its callback with `respond`."""

    def setUp(self):
        self.pty = PtyPair().__enter__()
        self.addCleanup(self.pty.__exit__)
        self.asker = korva.SerialNode(ME, self.pty.other)
        self.answerer = korva.SerialNode(PEER, self.pty.main, on_message=self.answer)
        for node in (self.answerer, self.asker):
            self.addCleanup(node.close)
            node.start_polling()

    def answer(self, message_type, status, header):
        message = korva.Message.from_header(message_type, status, header)
        if message.message_type == frame.REQUEST and message.ok:
            self.answerer.respond(message, message.data[::-1])

    def test_requests_from_two_threads_get_their_own_replies(self):
        replies = {}

        def ask(message_id):
            replies[message_id] = [self.asker.request(PEER, message_id, b"%02d%d" % (message_id, n)).data
                                   for n in range(20)]

        threads = [threading.Thread(target=ask, args=(message_id,)) for message_id in (3, 4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(30)
        self.assertEqual(replies, {message_id: [(b"%02d%d" % (message_id, n))[::-1] for n in range(20)]
                                   for message_id in (3, 4)})
        self.assertEqual(self.asker.peer_version(PEER), self.answerer.GET_KORVA_VERSION())
        self.assertEqual(self.asker.stats.unmatched_responses, 0)

    def test_a_request_nobody_answers_times_out_while_a_thread_polls(self):
        with self.assertRaises(korva.KorvaTimeout):
            self.asker.request(7, 9, timeout=0.2)


if __name__ == "__main__":
    unittest.main()
