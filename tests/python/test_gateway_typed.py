"""`korva gateway --schema` with a real mosquitto: a socat pseudo-terminal
pair, a scripted node on its far end, and MQTT v5 clients. Payloads are read
by node's strict JSON.parse and their fields encoded back byte-exact; bodies
are written here with `struct` from the wire rules."""

import json
import math
import os
import struct
import unittest
import zlib

import KorvaPy
import korva
from korva import frame, schema
from korva.schema import json as typed_json
from korva_broker import (HAVE_BROKER, WAIT, GatewayProcess, Peer, korva_status, process_errors, started_broker,
                          subscribed)
from korva_js import NODE, bits_of, parse_in_node
from korva_links import wait_until
from korva_servers import HAVE_SERVERS, socat_ptys

SUCCESS = KorvaPy.KORVA_STATUS_SUCCESS
GATEWAY, PEER = 1, 3
BASE = "korva/gw1/a"
PROBE_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "schemas", "probe.toml")
PROBE = schema.load(PROBE_FILE)
U64_MAX, I64_MIN = 2 ** 64 - 1, -2 ** 63

SCALARS = struct.Struct("<BbHhIiQqfd?")
READING = struct.Struct("<BhHIBfffQQ")
REPLY_BODY = struct.pack("<BQ", 1, U64_MAX)  # reading_reply: level high, the largest total

# What the peer sends: (type, receiver, id, body), and the keys its payload gains.
FRAMES = [
    (frame.WRITE, GATEWAY, 1, SCALARS.pack(255, 127, 65535, 32767, 2 ** 32 - 1, 2 ** 31 - 1, U64_MAX, 2 ** 63 - 1,
                                           0.1, -0.0, True) + b"\x00\xff", "scalars"),
    (frame.WRITE, GATEWAY, 1, SCALARS.pack(0, -128, 0, -32768, 0, -2 ** 31, 0, I64_MIN, -0.0, math.nan, False),
     "scalars"),
    (frame.WRITE, 7, 1, SCALARS.pack(1, 2, 3, 4, 5, 6, 7, 8, math.inf, 0.1, True), "scalars"),
    (frame.INDICATE, frame.PUBLIC_ID, 2, READING.pack(1, 225, 1, 2 ** 32 - 1, 0b101011, 0.1, math.nan, -math.inf,
                                                      U64_MAX, 0) + "héllo".encode(), "reading"),
    (frame.INDICATE, frame.PUBLIC_ID, 2, READING.pack(0, -32768, 7, 9, 0, -0.0, 3.4028234663852886e38, 1e-45, 1,
                                                      2), "reading"),
    (frame.RESPONSE, GATEWAY, 2, REPLY_BODY + b"\x07\x08", "reading_reply"),   # two bytes decoded past
    (frame.INDICATE, frame.PUBLIC_ID, 2, b"\x01\x02\x03", "reading"),        # too short: decode_error
    (frame.WRITE, GATEWAY, 9, b"\x01", None),                                # not in the schema
]


def strict(payload):
    """A payload read as strict JSON: a bare NaN or Infinity fails."""
    def refuse(name):
        raise ValueError("bare %s" % name)
    return json.loads(payload, parse_constant=refuse)


@unittest.skipUnless(HAVE_BROKER and HAVE_SERVERS and NODE, "mosquitto, paho-mqtt, socat or node is not installed")
class TypedGatewayTest(unittest.TestCase):
    def setUp(self):
        self.broker = started_broker(self)
        ptys = socat_ptys(self)
        self.peer = Peer(ptys.b, PEER, answer=lambda message: REPLY_BODY if message.message_id == 2 else None)
        self.addCleanup(self.peer.node.close)
        self.gateway = GatewayProcess(self.broker, "gw1", {"a": ptys.a}, "--schema", PROBE_FILE)
        self.gateway.start()
        self.addCleanup(self.gateway.stop)
        self.viewer = self.client("viewer", BASE + "/status", BASE + "/frame/#")
        self.assertTrue(self.viewer.wait_for(lambda: self.last(BASE + "/status") == b"up"), self.gateway_errors())

    def client(self, user, *topics):
        return subscribed(self, self.broker, user, *topics)

    def gateway_errors(self):
        return process_errors(self.gateway)

    def last(self, topic, client=None):
        messages = (client or self.viewer).on(topic)
        return messages[-1].payload if messages else None

    def frames(self, count):
        """The first `count` frame payloads, as text; fails the test if they do not come."""
        self.assertTrue(self.viewer.wait_for(lambda: len(self.viewer.on(BASE + "/frame/")) >= count),
                        [message.payload for message in self.viewer.on(BASE + "/frame/")])
        return [(message.topic, message.payload) for message in self.viewer.on(BASE + "/frame/")]

    def test_decoded_frames_parse_strictly_in_node_and_encode_back_byte_exact(self):
        for message_type, receiver, message_id, body, _ in FRAMES:
            self.assertEqual(self.peer.node.send(message_type, receiver, message_id, body), SUCCESS)
        received = self.frames(len(FRAMES))
        self.assertEqual(len(received), len(FRAMES))
        documents = [strict(payload) for _, payload in received]
        self.assertEqual(parse_in_node([payload for _, payload in received]),
                         [{"ok": bits_of(document)} for document in documents])
        for seq, ((message_type, receiver, message_id, body, name), document) in enumerate(zip(FRAMES, documents)):
            with self.subTest(seq=seq, message=name):
                self.assertEqual({key: document[key] for key in ("transmitter_id", "receiver_id", "message_type",
                                                                 "message_id", "data", "status", "seq", "direction")},
                                 {"transmitter_id": PEER, "receiver_id": receiver,
                                  "message_type": frame.TYPE_NAMES[message_type], "message_id": message_id,
                                  "data": body.hex(), "status": "ok", "seq": seq, "direction": "in"})
                self.assertEqual(document.get("message"), name)
                if "fields" in document:
                    cls = PROBE.messages[name]
                    extra = document.get("extra", 0)
                    again = typed_json.from_json(cls, document["fields"]).encode()
                    self.assertEqual(again, body[:len(body) - extra])
        first, second = documents[0]["fields"], documents[1]["fields"]
        self.assertEqual((first["u64"], first["i64"], first["f32"], first["f64"]),
                         ("18446744073709551615", "9223372036854775807", 0.1, -0.0))
        self.assertEqual((second["i64"], second["f32"], second["f64"]), ("-9223372036854775808", -0.0, "NaN"))
        self.assertIn(b'"f32":0.1,', received[0][1])
        self.assertEqual(bits_of(first["f64"]), {"f64": "8000000000000000"})  # -0.0 as node reads it
        self.assertEqual((documents[5]["extra"], documents[5]["fields"]["total"]), (2, "18446744073709551615"))
        self.assertEqual(documents[6]["decode_error"], "reading: 3 bytes, fewer than the 38 it always has")
        self.assertNotIn("fields", documents[6])

    def test_fields_commands_reach_the_line_byte_exact_and_bad_ones_nothing(self):
        engineer = self.client("engineer", "korva-reply/engineer/#")
        values = {"u8": 255, "i8": -128, "u16": 65535, "i16": -32768, "u32": 4294967295, "i32": -2147483648,
                  "u64": "18446744073709551615", "i64": "-9223372036854775808", "f32": 0.1, "f64": "NaN",
                  "flag": True, "blob": "c0ffee"}
        body = SCALARS.pack(255, -128, 65535, -32768, 2 ** 32 - 1, -2 ** 31, U64_MAX, I64_MIN, 0.1, math.nan,
                            True) + b"\xc0\xff\xee"
        answer = engineer.request(BASE + "/send/3/write/1", json.dumps({"fields": values}), "korva-reply/engineer/1",
                                  b"1")
        self.assertEqual((korva_status(answer), strict(answer.payload)), ("ok", {}))
        bad = engineer.request(BASE + "/send/3/write/1", json.dumps({"fields": dict(values, u16=65536)}),
                               "korva-reply/engineer/2", b"2")
        self.assertEqual((korva_status(bad), strict(bad.payload)),
                         ("bad_request", {"error": "scalars.u16: 65536 is outside u16's 0 to 65535"}))
        reply = engineer.request(BASE + "/send/3/request/2", b'{"fields": {}}', "korva-reply/engineer/3", b"3")
        self.assertEqual((korva_status(reply), strict(reply.payload)),
                         ("ok", {"transmitter_id": PEER, "receiver_id": GATEWAY, "message_type": "response",
                                 "message_id": 2, "data": REPLY_BODY.hex(), "status": "ok",
                                 "message": "reading_reply",
                                 "fields": {"level": "high", "total": "18446744073709551615"}}))
        self.assertTrue(wait_until(lambda: len(self.peer.received) >= 2, WAIT))
        self.assertEqual(self.peer.received, [korva.Message(GATEWAY, PEER, frame.WRITE, 1, body, SUCCESS),
                                              korva.Message(GATEWAY, PEER, frame.REQUEST, 2, b"", SUCCESS)])

        # What went out and what came back, on the one frame tree, numbered together.
        received = [(topic, strict(payload)) for topic, payload in self.frames(3)]
        self.assertEqual([(topic, document["seq"], document["direction"], document.get("message"))
                          for topic, document in received],
                         [(BASE + "/frame/1/3/write/1", 0, "out", "scalars"),
                          (BASE + "/frame/1/3/request/2", 1, "out", "get_reading"),
                          (BASE + "/frame/3/1/response/2", 2, "in", "reading_reply")])
        self.assertEqual(received[0][1]["data"], body.hex())
        self.assertEqual(received[0][1]["fields"], values)

    def test_the_schema_is_retained_and_info_carries_its_fingerprint(self):
        late = self.client("viewer", BASE + "/schema", BASE + "/info")
        self.assertTrue(late.wait_for(lambda: late.on(BASE + "/schema") and late.on(BASE + "/info")))
        retained, info = late.on(BASE + "/schema")[0], late.on(BASE + "/info")[0]
        self.assertTrue(retained.retain and info.retain)
        self.assertEqual(retained.payload, PROBE.canonical.encode())
        self.assertEqual(json.loads(retained.payload), json.loads(schema.canonical(schema.read(PROBE_FILE))))
        fingerprint = "%08x" % zlib.crc32(retained.payload)
        self.assertEqual(strict(info.payload)["schema"], {"name": "probe", "revision": 1, "fingerprint": fingerprint})


if __name__ == "__main__":
    unittest.main()
