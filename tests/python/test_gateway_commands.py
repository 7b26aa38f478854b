"""The gateway's commands carried out on a fake node, without a broker or a
line: one table of commands and how the node and its line behave, with
the answer and the calls on the node each must give."""

import json
import unittest

import KorvaPy
from korva import frame
from korva.errors import KorvaError
from korva.gateway.commands import Route, bad_request, parse_command, run
from korva.gateway.topics import LinkTopics
from korva.messages import Message
from korva.requests import no_reply

NOW = 100.0
TOPICS = LinkTopics("gw", "uart0")
ANSWERED = Route("replies/1", b"\x07", NOW + 2.0)  # a request with these properties waits for its reply
UNANSWERED = Route(None, None, NOW + 2.0)
REPLY = Message(3, 1, frame.RESPONSE, 6, b"\xa4\x86", KorvaPy.KORVA_STATUS_SUCCESS)
REPLY_JSON = {"transmitter_id": 3, "receiver_id": 1, "message_type": "response", "message_id": 6, "data": "a486",
              "status": "ok"}


class FakeNode:
    """A node as the gateway uses it: sends report `status`; requests get
    `reply` or time out; with `drops`, the line goes down during the call."""

    def __init__(self, up=True, status=KorvaPy.KORVA_STATUS_SUCCESS, reply=REPLY, drops=False):
        self.up, self.status, self.reply, self.drops = up, status, reply, drops
        self.calls = []

    def send(self, message_type, receiver_id, message_id, data):
        self.calls.append(("send", message_type, receiver_id, message_id, data))
        self.up = self.up and not self.drops
        return self.status

    def request(self, receiver_id, message_id, data, timeout):
        self.calls.append(("request", receiver_id, message_id, data, timeout))
        self.up = self.up and not self.drops
        if self.reply is None:
            raise no_reply(receiver_id, message_id, 1, timeout)
        return self.reply


def carried_out(node, tail, payload, route):
    """The answer to a publish on `send/<tail>`, as the gateway gives it."""
    try:
        command = parse_command(TOPICS, TOPICS.base + "/send/" + tail, payload, route)
    except KorvaError as error:
        return bad_request(error)
    return run(node, command, lambda: node.up, now=lambda: NOW)


def sent(message_type, body):
    return ("send", message_type, 3, 6, body)


ASKED = ("request", 3, 6, b"\x01", 2.0)  # waits for what is left of the route's time
NOT_SENT = "the frame was not sent: " + KorvaPy.KORVA_PUBLIC.resolve_status(KorvaPy.KORVA_STATUS_TIMEOUT)

CASES = (
    # name, node, topic tail, payload, route: status, payload, calls on the node
    ("a write goes out", FakeNode(), "3/write/6", b'{"data": "01 02"}', ANSWERED,
     "ok", {}, [sent(frame.WRITE, b"\x01\x02")]),
    ("a request is answered with its reply", FakeNode(), "3/request/6", b"\x01", ANSWERED,
     "ok", REPLY_JSON, [ASKED]),
    ("a request with nowhere to answer is only sent", FakeNode(), "3/request/6", b"\x01", UNANSWERED,
     "ok", {}, [sent(frame.REQUEST, b"\x01")]),
    ("no reply", FakeNode(reply=None), "3/request/6", b"\x01", ANSWERED,
     "timeout", {"error": "no reply from node 3 to request 6 after 1 attempt of 2 s"}, [ASKED]),
    ("a refused send", FakeNode(status=KorvaPy.KORVA_STATUS_TIMEOUT), "3/indicate/6", b"", ANSWERED,
     "timeout", {"error": NOT_SENT}, [sent(frame.INDICATE, b"")]),
    ("the line is down: nothing is tried", FakeNode(up=False), "3/request/6", b"\x01", ANSWERED,
     "link_down", {"error": "the line is down"}, []),
    ("the line goes down while a request waits", FakeNode(reply=None, drops=True), "3/request/6", b"\x01",
     ANSWERED, "link_down", {"error": "the line is down"}, [ASKED]),
    ("the line goes down under a send", FakeNode(status=KorvaPy.KORVA_STATUS_TIMEOUT, drops=True), "3/write/6",
     b"", ANSWERED, "link_down", {"error": "the line is down"}, [sent(frame.WRITE, b"")]),
    ("a request that expired before it was sent", FakeNode(), "3/request/6", b"\x01", ANSWERED._replace(deadline=NOW),
     "timeout", {"error": "the request expired before it was sent"}, []),
    ("a receiver beyond the public id", FakeNode(), "16/write/6", b"", ANSWERED,
     "bad_request", {"error": "a receiver id must be 0 to 15 in decimal, not '16'"}, []),
    ("a body that is not hex", FakeNode(), "3/write/6", b'{"data": "zz"}', ANSWERED,
     "bad_request", {"error": "\"data\": 'zz' is not hex bytes such as '01 02 ff'"}, []),
    ("a body longer than a frame holds", FakeNode(), "3/write/6", bytes(frame.MAX_PAYLOAD + 1), ANSWERED,
     "bad_request", {"error": "a frame body holds at most 255 bytes, not 256"}, []),
)


class CommandTest(unittest.TestCase):
    def test_every_outcome(self):
        for name, node, tail, payload, route, status, document, calls in CASES:
            with self.subTest(name):
                answer = carried_out(node, tail, payload, route)
                self.assertEqual((answer.status, json.loads(answer.payload), node.calls), (status, document, calls))


if __name__ == "__main__":
    unittest.main()
