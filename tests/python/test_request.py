"""Requests and receives on in-memory pipes: one table of cases run against
a threaded node and an asyncio node, each facing a scripted peer that
answers at once, late, never, twice or from another node; and two engines
with poll threads answering each other's requests."""

import asyncio
import socket
import threading
import time
import unittest

import _korva_link
import KorvaPy
import korva
import korva.aio
from korva import frame
from korva.errors import KorvaTimeout
from korva.pipe import PipeNode, pipe_pair
from korva_links import damaged

ME, PEER, OTHER = 1, 2, 3
OK = KorvaPy.KORVA_STATUS_SUCCESS
GAP = 0.1   # seconds a fragment may wait on a pipe
WAIT = 5.0  # seconds a case may wait for what must come; only a failing case waits that long


def asked(receiver):
    return frame.encode(ME, receiver, frame.REQUEST, 5, b"?")


def response(data, sender=PEER, message_id=5):
    return frame.encode(sender, ME, frame.RESPONSE, message_id, data)


def reply(data, sender=PEER):
    return korva.Message(sender, ME, frame.RESPONSE, 5, data, OK)


class Case:
    """A request to `receiver` with `options`, a peer that writes
    `answer(index)` `delay` seconds after the index-th request it reads, and
    what must follow: the reply (a Message) or the timeout's text, the
    messages left for `receive` as (body, intact), the node's count of
    unmatched responses and the number of requests that went out."""

    def __init__(self, name, answer, outcome, left=(), unmatched=0, requests=1, receiver=PEER, delay=0.0,
                 **options):
        self.name, self.answer, self.delay, self.receiver = name, answer, delay, receiver
        self.options = {"timeout": WAIT, **options}
        self.expected = (outcome, list(left), unmatched, [asked(receiver)] * requests)


CASES = (
    Case("the reply", lambda index: response(b"pong"), reply(b"pong")),
    Case("a second reply is left for receive and counted",
         lambda index: response(b"first") + response(b"second"), reply(b"first"), left=[(b"second", True)],
         unmatched=1),
    Case("a reply from another node is not the reply",
         lambda index: response(b"other", sender=OTHER) + response(b"pong"), reply(b"pong"),
         left=[(b"other", True)], unmatched=1),
    Case("a damaged reply is not the reply", lambda index: damaged(response(b"bad")) + response(b"pong"),
         reply(b"pong"), left=[(b"bad", False)], unmatched=1),
    Case("any node answers the public id", lambda index: response(b"any", sender=OTHER),
         reply(b"any", sender=OTHER), receiver=frame.PUBLIC_ID),
    Case("no reply: every attempt went out, then the timeout", lambda index: b"",
         "no reply from node 2 to request 5 after 3 attempts of 0.1 s", requests=3, timeout=0.1, retries=2),
    Case("a late reply is not taken; it is left for receive", lambda index: response(b"late"),
         "no reply from node 2 to request 5 after 1 attempt of 0.1 s", left=[(b"late", True)], delay=0.5,
         timeout=0.1),
    Case("a retry takes the reply to its own attempt", lambda index: response(b"%d" % index) if index else b"",
         reply(b"1"), requests=2, timeout=1.0, retries=1),
)


def read_frame(sock):
    """The next frame's bytes from a blocking socket; b"" once it closes or
    stays quiet for WAIT seconds."""
    raw = b""
    while len(raw) < 2 or len(raw) < raw[1] + frame.OVERHEAD:
        try:
            chunk = sock.recv(2 if len(raw) < 2 else raw[1] + frame.OVERHEAD - len(raw))
        except socket.timeout:
            return b""
        if not chunk:
            return b""
        raw += chunk
    return raw


class ScriptedPeer(threading.Thread):
    """Reads the node's requests from its end of the pipe and answers as
    `case` says, until the node closes its end."""

    def __init__(self, sock, case):
        super().__init__(daemon=True)
        self.sock, self.case = sock, case
        self.sock.settimeout(WAIT)
        self.seen = []

    def run(self):
        while True:
            raw = read_frame(self.sock)
            if not raw:
                return
            self.seen.append(raw)
            time.sleep(self.case.delay)
            self.sock.sendall(self.case.answer(len(self.seen) - 1))

    def finish(self):
        """The requests the peer read, once the node's end is closed."""
        self.join(WAIT)
        self.sock.close()
        return self.seen


def outcome(message_or_error):
    return str(message_or_error) if isinstance(message_or_error, KorvaTimeout) else message_or_error


class RequestCases:
    """The table of CASES, against the kind of node `outcome_of` asks with."""

    def test_the_table(self):
        for case in CASES:
            with self.subTest(case.name):
                mine, theirs = socket.socketpair()
                peer = ScriptedPeer(theirs, case)
                peer.start()
                got = self.outcome_of(case, mine)
                self.assertEqual(got + (peer.finish(),), case.expected)


class ThreadedRequestTest(RequestCases, unittest.TestCase):
    def outcome_of(self, case, sock):
        with PipeNode(ME, sock, inter_byte_gap=GAP) as node:
            try:
                first = node.request(case.receiver, 5, b"?", **case.options)
            except KorvaTimeout as error:
                first = error
            left = [node.receive(WAIT) for _ in case.expected[1]]
            return outcome(first), [(m.data, m.ok) for m in left], node.stats.unmatched_responses


class AsyncRequestTest(RequestCases, unittest.TestCase):
    def outcome_of(self, case, sock):
        return asyncio.run(self.ask(case, sock))

    async def ask(self, case, sock):
        line = _korva_link.Line.adopt(sock.detach(), "pipe")
        async with korva.aio.Node(line, ME, GAP) as node:
            try:
                first = await node.request(case.receiver, 5, b"?", **case.options)
            except KorvaTimeout as error:
                first = error
            left = [await node.receive(WAIT) for _ in case.expected[1]]
            return outcome(first), [(m.data, m.ok) for m in left], node.stats.unmatched_responses


class ReceiveCases:
    """What `receive` picks from kept and arriving messages, and its timeout."""

    FRAMES = frame.encode(PEER, ME, frame.WRITE, 7, b"a") + frame.encode(OTHER, ME, frame.INDICATE, 8, b"b")

    def test_receive_filters_kept_messages_and_times_out(self):
        mine, theirs = socket.socketpair()
        with theirs:
            theirs.sendall(self.FRAMES)
            got = self.received(mine, ({"transmitter_id": OTHER}, {"message_type": frame.WRITE}, {}))
        self.assertEqual(got, [b"b", b"a", "no matching message within 0.1 s"])


class ThreadedReceiveTest(ReceiveCases, unittest.TestCase):
    def received(self, sock, criteria):
        with PipeNode(ME, sock, inter_byte_gap=GAP) as node:
            got = [node.receive(WAIT, **wanted).data for wanted in criteria[:-1]]
            try:
                node.receive(0.1, **criteria[-1])
            except KorvaTimeout as error:
                got.append(str(error))
            return got


class AsyncReceiveTest(ReceiveCases, unittest.TestCase):
    def received(self, sock, criteria):
        return asyncio.run(self.receive_all(sock, criteria))

    async def receive_all(self, sock, criteria):
        line = _korva_link.Line.adopt(sock.detach(), "pipe")
        async with korva.aio.Node(line, ME, GAP) as node:
            got = [(await node.receive(WAIT, **wanted)).data for wanted in criteria[:-1]]
            try:
                await node.receive(0.1, **criteria[-1])
            except KorvaTimeout as error:
                got.append(str(error))
            return got


class EnginePeerTest(unittest.TestCase):
    """Two engines on a pipe, each with a poll thread; the peer answers
    requests from its callback with `respond`."""

    def setUp(self):
        self.asker, self.answerer = pipe_pair(ME, PEER, inter_byte_gap=GAP)
        self.answerer.on_message = self.answer
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
        with self.assertRaisesRegex(KorvaTimeout, "^no reply from node 7 to request 9 after 1 attempt of 0.2 s$"):
            self.asker.request(7, 9, timeout=0.2)


if __name__ == "__main__":
    unittest.main()
