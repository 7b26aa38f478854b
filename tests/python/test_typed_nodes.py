"""Typed sends and requests: a threaded and an asyncio node send schema
messages to a peer on an in-memory pipe, which checks the bytes and answers
as a case says; and a typed request a peer's engine answers by itself."""

import asyncio
import os
import socket
import struct
import unittest

import _korva_link
import KorvaPy
import korva.aio
from korva import frame, schema
from korva.errors import DecodeError, EncodeError
from korva.pipe import PipeNode, pipe_pair

ME, PEER = 1, 2
GAP = 0.1   # seconds a fragment may wait on a pipe
WAIT = 5.0  # seconds a case may wait for what must come
MOTOR = schema.load(os.path.join(os.path.dirname(__file__), "..", "..", "examples", "motor.toml"))
SET_SPEED, GET_SPEED, SPEED = (MOTOR.messages[name] for name in ("set_speed", "get_speed", "speed"))


def sent(message_type, message_id, body):
    return frame.encode(ME, PEER, message_type, message_id, body)


# (name, what the node does, the peer's answer, the outcome, the frames the peer reads)
CASES = (
    ("a write goes out as its layout says", ("send", SET_SPEED(rpm=-1200, mode="run", ramp_ms=250)), b"",
     KorvaPy.KORVA_STATUS_SUCCESS, [sent(frame.WRITE, 5, struct.pack("<hBH", -1200, 1, 250))]),
    ("an appended field takes its default", ("send", SET_SPEED(rpm=7, mode=0)), b"",
     KorvaPy.KORVA_STATUS_SUCCESS, [sent(frame.WRITE, 5, struct.pack("<hBH", 7, 0, 100))]),
    ("a value out of range sends nothing", ("send", SET_SPEED(rpm=6001, mode="idle")), b"",
     "EncodeError: set_speed.rpm", []),
    ("a request returns the decoded reply", ("request", GET_SPEED()),
     frame.encode(PEER, ME, frame.RESPONSE, 6, struct.pack("<h", -1500)), SPEED(rpm=-1500),
     [sent(frame.REQUEST, 6, b"")]),
    ("a reply that does not decode is an error", ("request", GET_SPEED()),
     frame.encode(PEER, ME, frame.RESPONSE, 6, b"\x01"), "DecodeError: speed", [sent(frame.REQUEST, 6, b"")]),
    ("only a request with a reply can be asked", ("request", SET_SPEED(rpm=0, mode="idle")), b"",
     "ValueError: set_speed is a write, not a request with a reply", []),
)


def described(error):
    """An error as its class and its text up to the first ':' (the path of
    the value at fault), so that the table does not restate every reason."""
    return "%s: %s" % (type(error).__name__, str(error).split(":")[0])


def frames_read(sock):
    """The frames the peer's end holds once the node's end is closed."""
    sock.settimeout(WAIT)
    data = b""
    while True:
        chunk = sock.recv(4096)
        if not chunk:
            break
        data += chunk
    frames = []
    while data:
        length = data[1] + frame.OVERHEAD
        frames.append(data[:length])
        data = data[length:]
    return frames


class TypedCases:
    """CASES against the kind of node `outcome_of(action, message, sock)` uses."""

    def test_the_table(self):
        for name, (action, message), answer, expected, frames in CASES:
            with self.subTest(name):
                mine, theirs = socket.socketpair()
                with theirs:
                    theirs.sendall(answer)  # waits in the pipe until the node reads after its request
                    try:
                        got = self.outcome_of(action, message, mine)
                    except (ValueError, EncodeError, DecodeError) as error:
                        got = described(error)
                    self.assertEqual((got, frames_read(theirs)), (expected, frames))


class ThreadedTypedTest(TypedCases, unittest.TestCase):
    def outcome_of(self, action, message, sock):
        with PipeNode(ME, sock, inter_byte_gap=GAP) as node:
            if action == "send":
                return node.send_message(PEER, message)
            return node.request_message(PEER, message, timeout=WAIT)


class AsyncTypedTest(TypedCases, unittest.TestCase):
    def outcome_of(self, action, message, sock):
        return asyncio.run(self.act(action, message, sock))

    async def act(self, action, message, sock):
        line = _korva_link.Line.adopt(sock.detach(), "pipe")
        async with korva.aio.Node(line, ME, GAP) as node:
            if action == "send":
                return await node.send_message(PEER, message)
            return await node.request_message(PEER, message, timeout=WAIT)


class EngineAnswerTest(unittest.TestCase):
    def test_the_version_request_decodes_as_the_engine_answers_it(self):
        asker, answerer = pipe_pair(ME, PEER, inter_byte_gap=GAP)
        for node in (answerer, asker):
            self.addCleanup(node.close)
        answerer.start_polling()
        reply = asker.request_message(PEER, MOTOR.messages["engine_version"](), timeout=WAIT)
        self.assertEqual(reply, MOTOR.messages["engine_version_reply"](version=answerer.GET_KORVA_VERSION()))


if __name__ == "__main__":
    unittest.main()
