"""The gateway's commands carried out on a fake node, without a broker or a
line: one table of commands and how the node and its line behave, with
the answer and the calls on the node each must give, on a link without a
schema and on one with a schema (bodies written here with `struct`)."""

import json
import os
import struct
import unittest

import KorvaPy
from korva import frame, schema
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


def carried_out(node, tail, payload, route, typed=None):
    """The answer to a publish on `send/<tail>`, as the gateway of a link
    with the schema `typed` (or none) gives it."""
    try:
        command = parse_command(TOPICS, TOPICS.base + "/send/" + tail, payload, route, typed)
    except KorvaError as error:
        return bad_request(error)
    return run(node, command, lambda: node.up, typed, now=lambda: NOW)


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
    ("fields on a link without a schema", FakeNode(), "3/write/6", b'{"fields": {}}', ANSWERED,
     "bad_request", {"error": "\"fields\" needs a schema, and this link has none"}, []),
)

PROBE = schema.load(os.path.join(os.path.dirname(os.path.abspath(__file__)), "schemas", "probe.toml"))
SCALARS = {"u8": 255, "i8": -128, "u16": 65535, "i16": -32768, "u32": 4294967295, "i32": -2147483648,
           "u64": "18446744073709551615", "i64": "-9223372036854775808", "f32": 0.1, "f64": "-Infinity",
           "flag": True, "blob": "c0ffee"}
SCALARS_BODY = struct.pack("<BbHhIiQqfd?", 255, -128, 65535, -32768, 2 ** 32 - 1, -2 ** 31, 2 ** 64 - 1, -2 ** 63, 0.1,
                           float("-inf"), True) + b"\xc0\xff\xee"
READING = {"level": "high", "temp": -12.3, "volts": 104, "counter": None,
           "flags": {"armed": True, "level": 0, "count": 7}, "samples": [1.5, "NaN", -0.0],
           "totals": [1, "2"], "label": "pump"}
READING_BODY = (struct.pack("<BhHIBfffQQ", 1, -123, 2, 2 ** 32 - 1, 0b111001, 1.5, float("nan"), -0.0, 1, 2) +
                b"pump")
TYPED_REPLY = Message(3, 1, frame.RESPONSE, 2, b"\x01" + b"\xff" * 8, KorvaPy.KORVA_STATUS_SUCCESS)
SHORT_REPLY = Message(3, 1, frame.RESPONSE, 2, b"\x01", KorvaPy.KORVA_STATUS_SUCCESS)


def fields(values, **changes):
    return json.dumps({"fields": {**values, **changes}}).encode()


TYPED_CASES = (
    ("fields of every scalar type", FakeNode(), "3/write/1", fields(SCALARS), ANSWERED,
     "ok", {}, [("send", frame.WRITE, 3, 1, SCALARS_BODY)]),
    ("enums, bits, scale, sentinels, arrays and text", FakeNode(), "15/indicate/2", fields(READING), ANSWERED,
     "ok", {}, [("send", frame.INDICATE, 15, 2, READING_BODY)]),
    ("a typed request is answered decoded", FakeNode(reply=TYPED_REPLY), "3/request/2", b'{"fields": {}}',
     ANSWERED, "ok",
     {"transmitter_id": 3, "receiver_id": 1, "message_type": "response", "message_id": 2, "data": "01" + "ff" * 8,
      "status": "ok", "message": "reading_reply", "fields": {"level": "high", "total": "18446744073709551615"}},
     [("request", 3, 2, b"", 2.0)]),
    ("a reply that does not decode", FakeNode(reply=SHORT_REPLY), "3/request/2", b'{"fields": {}}', ANSWERED,
     "ok", {"transmitter_id": 3, "receiver_id": 1, "message_type": "response", "message_id": 2, "data": "01",
            "status": "ok", "message": "reading_reply",
            "decode_error": "reading_reply: 1 byte, fewer than the 9 it always has"}, [("request", 3, 2, b"", 2.0)]),
    ("hex data still goes as it is", FakeNode(), "3/write/1", b'{"data": "0102"}', ANSWERED,
     "ok", {}, [("send", frame.WRITE, 3, 1, b"\x01\x02")]),
    ("a value out of range", FakeNode(), "3/write/1", fields(SCALARS, u8=256), ANSWERED,
     "bad_request", {"error": "scalars.u8: 256 is outside u8's 0 to 255"}, []),
    ("a 64-bit value that is not decimal", FakeNode(), "3/write/1", fields(SCALARS, u64="0x10"), ANSWERED,
     "bad_request", {"error": "scalars.u64: must be an integer, not str '0x10'"}, []),
    ("an enum name no member has", FakeNode(), "15/indicate/2", fields(READING, level="max"), ANSWERED,
     "bad_request", {"error": "reading.level: str 'max' is not a Level (low=0, high=1)"}, []),
    ("a bit too wide", FakeNode(), "15/indicate/2", fields(READING, flags={"count": 8}), ANSWERED,
     "bad_request", {"error": "reading.flags.count: int 8 does not fit 3 bits (0 to 7)"}, []),
    ("bytes that are not hex", FakeNode(), "3/write/1", fields(SCALARS, blob="xyz"), ANSWERED,
     "bad_request", {"error": "scalars.blob: str 'xyz' is not hex bytes such as \"01ff\""}, []),
    ("a field missing", FakeNode(), "3/write/1", json.dumps({"fields": {"u8": 1}}).encode(), ANSWERED,
     "bad_request", {"error": "scalars.i8: missing, and it has no default"}, []),
    ("a field the message has not", FakeNode(), "15/indicate/2", fields(READING, speed=1), ANSWERED,
     "bad_request", {"error": "reading.speed: no such field; fields are level, temp, volts, counter, flags, "
                              "samples, totals, label"}, []),
    ("fields that are not an object", FakeNode(), "3/write/1", b'{"fields": [1]}', ANSWERED,
     "bad_request", {"error": "scalars: the fields are a JSON object, not list [1]"}, []),
    ("an id and type the schema does not name", FakeNode(), "3/write/9", b'{"fields": {}}', ANSWERED,
     "bad_request", {"error": "schema probe has no write with id 9"}, []),
    ("fields and data together", FakeNode(), "3/write/1", b'{"fields": {}, "data": ""}', ANSWERED,
     "bad_request", {"error": "a JSON command has \"data\" or \"fields\", not both"}, []),
)


class CommandTest(unittest.TestCase):
    def test_every_outcome(self):
        for typed, cases in ((None, CASES), (PROBE, TYPED_CASES)):
            for name, node, tail, payload, route, status, document, calls in cases:
                with self.subTest(name):
                    answer = carried_out(node, tail, payload, route, typed)
                    self.assertEqual((answer.status, json.loads(answer.payload), node.calls),
                                     (status, document, calls))


if __name__ == "__main__":
    unittest.main()
