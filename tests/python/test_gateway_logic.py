"""The gateway's own logic without a broker: topics, payloads, settings, the
frame buffer and the numbering of frames across broker outages."""

import contextlib
import importlib.util
import io
import json
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

import KorvaPy
from korva import cli, frame, schema
from korva.errors import SchemaError
from korva.gateway.buffer import FrameBuffer, InFlight, Pending
from korva.gateway.commands import route_of
from korva.gateway.config import ConfigError, LinkConfig, load
from korva.gateway.payloads import (IN, OUT, BadPayload, command_body, frame_payload, info_payload, reply_payload,
                                    schema_payload)
from korva.gateway.stream import FrameStream
from korva.gateway.topics import BadTopic, LinkTopics, check_level
from korva.messages import Message
from korva.wire import Event

# write from node 14 to node 3, id 5, body 01 02, and the same with its checksum broken
GOOD = bytes.fromhex("FB02E3140102F3EFBF")
DAMAGED = bytes.fromhex("FB02E3140102F3EEBF")
SCHEMAS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "schemas")
PROBE_FILE = os.path.join(SCHEMAS, "probe.toml")
PROBE = schema.load(PROBE_FILE)
# reading_reply (response 2): level high, total 2**64 - 1; written here from its layout
REPLY_BODY = b"\x01" + b"\xff" * 8


def event(raw, time=1700000000.1234567):
    return Event(time, raw, frame.decode(raw))


class TopicTest(unittest.TestCase):
    topics = LinkTopics("gw1", "uart0")

    def test_state_and_frame_topics(self):
        self.assertEqual((self.topics.status, self.topics.info, self.topics.stats, self.topics.commands),
                         ("korva/gw1/uart0/status", "korva/gw1/uart0/info", "korva/gw1/uart0/stats",
                          "korva/gw1/uart0/send/#"))
        self.assertEqual(self.topics.frame(frame.decode(GOOD)), "korva/gw1/uart0/frame/14/3/write/5")
        indicate = frame.decode(frame.encode(2, 15, frame.INDICATE, 63))
        self.assertEqual(self.topics.frame(indicate), "korva/gw1/uart0/frame/2/15/indicate/63")

    def test_command_topics(self):
        for tail, fields in (("0/write/0", (0, frame.WRITE, 0)), ("15/request/63", (15, frame.REQUEST, 63)),
                             ("3/response/7", (3, frame.RESPONSE, 7)), ("9/indicate/59", (9, frame.INDICATE, 59))):
            with self.subTest(tail=tail):
                self.assertEqual(self.topics.parse_send("korva/gw1/uart0/send/" + tail), fields)

    def test_bad_command_topics(self):
        for topic in ("korva/gw1/uart0/send/3/request", "korva/gw1/uart0/send/3/request/5/6",
                      "korva/gw1/uart0/send/16/write/5", "korva/gw1/uart0/send/-1/write/5",
                      "korva/gw1/uart0/send/3/write/64", "korva/gw1/uart0/send/03/write/5",
                      "korva/gw1/uart0/send/3/Write/5", "korva/gw1/uart0/send/3/write/x",
                      "korva/gw1/uart0/send/3/write/", "korva/gw1/other/send/3/write/5", "korva/gw1/uart0/send"):
            with self.subTest(topic=topic), self.assertRaises(BadTopic):
                self.topics.parse_send(topic)

    def test_names_must_be_one_topic_level(self):
        self.assertEqual(check_level("link", "uart-0.a"), "uart-0.a")
        for name in ("", "a/b", "a+", "#", "x\0"):
            with self.subTest(name=name), self.assertRaises(BadTopic):
                LinkTopics("gw", name)


class PayloadTest(unittest.TestCase):
    def test_frame_payload_has_the_monitor_keys_and_seq_ts_and_direction(self):
        for raw, status, direction in ((GOOD, "ok", IN), (DAMAGED, "crc_error", IN), (GOOD, "ok", OUT)):
            with self.subTest(status=status, direction=direction):
                document = json.loads(frame_payload(event(raw), 41, direction))
                self.assertEqual(document, {"transmitter_id": 14, "receiver_id": 3, "message_type": "write",
                                            "message_id": 5, "data": "0102", "status": status, "seq": 41,
                                            "ts": 1700000000.123457, "direction": direction})

    def test_frame_payloads_decoded_by_a_schema(self):
        reply = frame.encode(3, 14, frame.RESPONSE, 2, REPLY_BODY)
        damaged = reply[:-3] + bytes([reply[-3] ^ 1]) + reply[-2:]
        typed = {"message": "reading_reply", "fields": {"level": "high", "total": "18446744073709551615"}}
        cases = [
            ("intact", reply, typed),
            ("extra bytes", frame.encode(3, 14, frame.RESPONSE, 2, REPLY_BODY + b"\x07\x08"), {**typed, "extra": 2}),
            ("short", frame.encode(3, 14, frame.RESPONSE, 2, REPLY_BODY[:4]),
             {"message": "reading_reply", "decode_error": "reading_reply: 4 bytes, fewer than the 9 it always has"}),
            ("unnamed id and type", frame.encode(3, 14, frame.WRITE, 2, REPLY_BODY), {}),
            ("damaged", damaged, {}),
        ]
        for name, raw, keys in cases:
            with self.subTest(name):
                decoded = frame.decode(raw)
                document = json.loads(frame_payload(event(raw), 7, OUT, PROBE))
                self.assertEqual(document, {"transmitter_id": 3, "receiver_id": 14,
                                            "message_type": frame.TYPE_NAMES[decoded.message_type],
                                            "message_id": 2, "data": decoded.data.hex(), "status": decoded.status,
                                            "seq": 7, "ts": 1700000000.123457, "direction": OUT, **keys})

    def test_payloads_are_strict_json(self):
        samples = frame.encode(3, 15, frame.INDICATE, 2, bytes(10) + struct.pack("<fff", math.nan, math.inf, -0.0) +
                               bytes(16))
        payload = frame_payload(event(samples), 0, IN, PROBE)
        self.assertIn(b'"samples":["NaN","Infinity",-0.0]', payload)
        json.loads(payload, parse_constant=lambda name: self.fail("bare %s" % name))

    def test_reply_payload(self):
        reply = Message(3, 14, frame.RESPONSE, 5, b"\xa4\x86", KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(json.loads(reply_payload(reply)),
                         {"transmitter_id": 3, "receiver_id": 14, "message_type": "response", "message_id": 5,
                          "data": "a486", "status": "ok"})
        typed = Message(3, 14, frame.RESPONSE, 2, REPLY_BODY, KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(json.loads(reply_payload(typed, PROBE)),
                         {"transmitter_id": 3, "receiver_id": 14, "message_type": "response", "message_id": 2,
                          "data": "01" + "ff" * 8, "status": "ok", "message": "reading_reply",
                          "fields": {"level": "high", "total": "18446744073709551615"}})

    def test_retained_schema_and_info(self):
        self.assertEqual(json.loads(info_payload(2, "/dev/x", 100004)),
                         {"node_id": 2, "target": "/dev/x", "engine_version": 100004})
        self.assertEqual(json.loads(info_payload(2, "/dev/x", 100004, PROBE)),
                         {"node_id": 2, "target": "/dev/x", "engine_version": 100004,
                          "schema": {"name": "probe", "revision": 1, "fingerprint": PROBE.fingerprint}})
        canonical = schema_payload(PROBE)
        self.assertEqual(canonical, schema.canonical(schema.read(PROBE_FILE)).encode())
        self.assertEqual("%08x" % zlib.crc32(canonical), PROBE.fingerprint)
        self.assertEqual(schema_payload(None), b"")

    def test_command_bodies(self):
        for payload, body in ((b"", b""), (b'{"data": "0102"}', b"\x01\x02"),
                              (b'{"data": "01 02 ff"}', b"\x01\x02\xff"), (b"{}", b""), (b"\x01\x02", b"\x01\x02"),
                              (b"[1, 2]", b"[1, 2]"), (b"17", b"17"),
                              (b"\xfb\xbf{", b"\xfb\xbf{"), (bytes(255), bytes(255))):
            with self.subTest(payload=payload):
                self.assertEqual(command_body(payload, frame.WRITE, 5), body)
                self.assertEqual(command_body(payload, frame.WRITE, 5, PROBE), body)

    def test_bad_command_bodies(self):
        for payload in (b'{"data": 5}', b'{"data": "zz"}', b'{"data": "010"}', b'{"dta": "01"}',
                        b'{"data": "01", "qos": 1}', bytes(256), json.dumps({"data": "00" * 256}).encode()):
            with self.subTest(payload=payload[:40]), self.assertRaises(BadPayload):
                command_body(payload, frame.WRITE, 5)


class RouteTest(unittest.TestCase):
    class Properties:
        def __init__(self, **values):
            self.__dict__.update(values)

    def test_routes(self):
        cases = ((None, None, None, 100 + 2.0),
                 (self.Properties(ResponseTopic="r/1", CorrelationData=b"\x07"), "r/1", b"\x07", 102.0),
                 (self.Properties(ResponseTopic="r/1", MessageExpiryInterval=1), "r/1", None, 101.0),
                 (self.Properties(ResponseTopic="r/1", MessageExpiryInterval=9), "r/1", None, 102.0),
                 (self.Properties(ResponseTopic=""), None, None, 102.0))
        for properties, topic, correlation, deadline in cases:
            with self.subTest(properties=vars(properties) if properties else None):
                self.assertEqual(tuple(route_of(properties, 2.0, 100.0)), (topic, correlation, deadline))


class ConfigTest(unittest.TestCase):
    def write(self, text):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        path = os.path.join(folder.name, "gateway.ini")
        with open(path, "w") as file:
            file.write(text)
        return path

    def test_options(self):
        config = load(broker="mqtt://127.0.0.1:1884", links=["a=/dev/ttyS0", "b=tcp://h:4000"], name="gw",
                      id="2", qos="0", buffer="50")
        self.assertEqual((config.name, config.host, config.port, config.qos, config.buffer, config.password),
                         ("gw", "127.0.0.1", 1884, 0, 50, None))
        self.assertEqual(config.links, (LinkConfig("a", "/dev/ttyS0", 2), LinkConfig("b", "tcp://h:4000", 2)))

    def test_reading_a_configuration_loads_no_mqtt_client(self):
        path = self.write("[gateway]\nbroker = mqtt://broker.local\nname = gw\nid = 1\n\n[link a]\ntarget = /dev/ttyS0\n")
        code = ("import sys; from korva.gateway.config import load; load(%r); "
                "print(sorted(name for name in sys.modules if name.startswith('paho')))" % path)
        run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        self.assertEqual((run.stdout, run.stderr), ("[]\n", ""))

    def test_file_with_options_over_it(self):
        path = self.write("[gateway]\nbroker = mqtt://broker.local\nname = bench1 ; the MQTT user\n"
                          "password = pw\nid = 0\nstats_interval = 2.5\n\n"
                          "[link uart0]\ntarget = /dev/ttyUSB0\nid = 4\nbaud = 9600\n\n"
                          "[link net]\ntarget = tcp://10.0.0.2:4000\n")
        config = load(path, links=["extra=/dev/ttyS1"], name="bench2", request_timeout="0.5")
        self.assertEqual((config.name, config.host, config.port, config.password, config.stats_interval,
                          config.request_timeout), ("bench2", "broker.local", 1883, "pw", 2.5, 0.5))
        self.assertEqual(config.links, (LinkConfig("uart0", "/dev/ttyUSB0", 4, 9600),
                                        LinkConfig("net", "tcp://10.0.0.2:4000", 0),
                                        LinkConfig("extra", "/dev/ttyS1", 0)))

    def test_schemas_by_link(self):
        motor = os.path.join(os.path.dirname(SCHEMAS), "..", "..", "examples", "motor.toml")
        path = self.write("[gateway]\nbroker = mqtt://h\nname = gw\nid = 1\n"
                          "[link own]\ntarget = /dev/x\nschema = probe.toml\n[link plain]\ntarget = /dev/y\n")
        shutil.copy(PROBE_FILE, os.path.join(os.path.dirname(path), "probe.toml"))  # beside the file
        config = load(path, links=["cli=/dev/z", "cli2=/dev/w"], schema=motor)
        self.assertEqual([(link.name, link.schema.name) for link in config.links],
                         [("own", "probe"), ("plain", "motor"), ("cli", "motor"), ("cli2", "motor")])
        self.assertIs(config.links[2].schema, config.links[3].schema)  # one file, loaded once
        self.assertEqual(config.links[0].schema.fingerprint, PROBE.fingerprint)
        self.assertIsNone(load(path).links[1].schema)

    def test_a_bad_schema_file_is_one_line_naming_it(self):
        broken = self.write("format = 1\nname = \"x\"\nrevision = 1\ncolour = 2\n")
        os.rename(broken, broken + ".toml")
        for path in (broken + ".toml", broken + ".missing.toml"):
            with self.subTest(path=path), self.assertRaises(SchemaError) as caught:
                load(broker="mqtt://h:1", links=["a=/dev/x"], name="gw", id="1", schema=path)
            self.assertTrue(str(caught.exception).startswith(path + ": "), caught.exception)
            self.assertNotIn("\n", str(caught.exception))

    def test_refused_options(self):
        good = {"broker": "mqtt://h:1", "links": ["a=/dev/x"], "name": "gw", "id": "1"}
        for change in ({"broker": "tcp://h:1"}, {"broker": "mqtt://h:x"}, {"broker": None}, {"name": None},
                       {"name": "g/w"}, {"links": []}, {"links": ["a=/dev/x", "a=/dev/y"]}, {"links": ["a"]},
                       {"links": ["a#=/dev/x"]}, {"id": None}, {"id": "15"}, {"id": "x"}, {"qos": "2"},
                       {"buffer": "0"}, {"stats_interval": "-1"}):
            with self.subTest(change=change), self.assertRaises(ConfigError):
                load(**{**good, **change})

    def test_refused_files(self):
        for text in ("[links]\na = /dev/x\n", "[gateway]\nbroker = mqtt://h\nname = gw\nid = 1\ncolour = red\n",
                     "[gateway]\nbroker = mqtt://h\nname = gw\n[uart]\ntarget = /dev/x\n",
                     "[gateway]\nbroker = mqtt://h\nname = gw\nid = 1\n[link a]\nbaud = 9600\n",
                     "[gateway]\nbroker = mqtt://h\nname = gw\nid = 1\n[link a]\ntarget = /dev/x\nbaud = fast\n",
                     "no section\n"):
            with self.subTest(text=text), self.assertRaises(ConfigError):
                load(self.write(text))


def pending(seq):
    return Pending(seq, "t/%d" % seq, b"%d" % seq)


class BufferTest(unittest.TestCase):
    def test_oldest_frames_make_room_and_are_counted(self):
        buffer = FrameBuffer(3)
        for seq in range(5):
            buffer.append(pending(seq))
        self.assertEqual((len(buffer), buffer.dropped), (3, 2))
        buffer.put_back([pending(0), pending(1)])  # older than all kept: they are the ones to go
        self.assertEqual([buffer.take_oldest().seq for _ in range(3)], [2, 3, 4])
        self.assertEqual((len(buffer), buffer.dropped), (0, 4))

    def test_in_flight_frames_until_acknowledged(self):
        in_flight = InFlight()
        in_flight.acknowledged(2)  # before `sent` recorded it
        for mid in (1, 2, 3, 4):
            in_flight.sent(mid, pending(mid))
        in_flight.acknowledged(3)
        self.assertEqual([p.seq for p in in_flight.take_all()], [1, 4])
        self.assertEqual((len(in_flight), in_flight.take_all()), (0, []))


class Broker:
    """A publish function as the session offers it: packet ids while up,
    None once `fail_after` messages went out; `acknowledge` answers QoS 1
    messages as the broker does."""

    def __init__(self, fail_after=None):
        self.messages = []
        self.fail_after = fail_after
        self._answers = {}

    def __call__(self, topic, payload, qos, on_acknowledged=None):
        if self.fail_after is not None and len(self.messages) >= self.fail_after:
            return None
        self.messages.append((topic, json.loads(payload)))
        if qos:
            self._answers[len(self.messages)] = on_acknowledged
        return len(self.messages)

    def acknowledge(self, *mids):
        for mid in mids:
            self._answers.pop(mid)(mid)

    def seqs(self):
        return [document["seq"] for _, document in self.messages]


class StreamTest(unittest.TestCase):
    def stream(self, qos=1, capacity=100):
        return FrameStream(LinkTopics("gw", "l"), qos, capacity)

    def offer(self, stream, count, start=0):
        for index in range(start, start + count):
            stream.offer(event(frame.encode(1, 2, frame.WRITE, index % 60, bytes([index % 256])), 1000.0 + index))

    def test_frames_wait_for_the_broker_and_keep_their_numbers_and_times(self):
        stream, broker = self.stream(), Broker()
        self.offer(stream, 3)
        self.assertEqual((stream.buffered, stream.published), (3, 0))
        stream.attach(broker)
        self.offer(stream, 2, start=3)
        self.assertEqual(broker.seqs(), [0, 1, 2, 3, 4])
        self.assertEqual([document["ts"] for _, document in broker.messages], [1000.0 + seq for seq in range(5)])
        self.assertEqual(broker.messages[4][0], "korva/gw/l/frame/1/2/write/4")
        self.assertEqual((stream.buffered, stream.published, stream.dropped), (0, 5, 0))

    def test_unacknowledged_frames_are_replayed_before_newer_ones(self):
        stream, first = self.stream(), Broker()
        stream.attach(first)
        self.offer(stream, 4)
        first.acknowledge(1, 2)
        stream.detach()
        self.offer(stream, 2, start=4)
        second = Broker()
        stream.attach(second)
        self.assertEqual(second.seqs(), [2, 3, 4, 5])

    def test_at_qos_0_nothing_is_held_once_handed_over(self):
        stream, first = self.stream(qos=0), Broker()
        stream.attach(first)
        self.offer(stream, 3)
        stream.detach()
        second = Broker()
        stream.attach(second)
        self.assertEqual((first.seqs(), second.seqs()), ([0, 1, 2], []))

    def test_gaps_equal_the_counted_drops(self):
        stream, broker = self.stream(qos=0, capacity=10), Broker()
        self.offer(stream, 25)
        stream.attach(broker)
        self.offer(stream, 5, start=25)
        seqs = broker.seqs()
        self.assertEqual(seqs, list(range(15, 30)))
        self.assertEqual(30 - len(seqs), stream.dropped)

    def test_a_slow_broker_holds_at_most_capacity_unacknowledged(self):
        stream, broker = self.stream(capacity=3), Broker()
        stream.attach(broker)
        self.offer(stream, 10)  # nothing acknowledged: 3 in flight, the 3 newest kept, 4 dropped
        self.assertEqual((broker.seqs(), stream.in_flight, stream.buffered, stream.dropped), ([0, 1, 2], 3, 3, 4))
        broker.acknowledge(1, 2)
        self.offer(stream, 1, start=10)  # room for two: the oldest kept go first, the new one waits
        self.assertEqual((broker.seqs(), stream.buffered), ([0, 1, 2, 7, 8], 2))
        broker.acknowledge(3, 4, 5)
        stream.drain()
        self.assertEqual(broker.seqs(), [0, 1, 2, 7, 8, 9, 10])
        self.assertEqual(11 - len(broker.seqs()), stream.dropped)

    def test_sent_and_received_frames_share_one_numbering(self):
        stream, broker = FrameStream(LinkTopics("gw", "l"), 1, 100, PROBE), Broker()
        stream.attach(broker)
        request = frame.encode(1, 3, frame.REQUEST, 2)
        reply = frame.encode(3, 1, frame.RESPONSE, 2, REPLY_BODY)
        for raw, direction in ((GOOD, IN), (request, OUT), (reply, IN), (GOOD, OUT)):
            stream.offer(event(raw), direction)
        self.assertEqual([(topic, document["seq"], document["direction"], document.get("message"))
                          for topic, document in broker.messages],
                         [("korva/gw/l/frame/14/3/write/5", 0, IN, None),
                          ("korva/gw/l/frame/1/3/request/2", 1, OUT, "get_reading"),
                          ("korva/gw/l/frame/3/1/response/2", 2, IN, "reading_reply"),
                          ("korva/gw/l/frame/14/3/write/5", 3, OUT, None)])
        self.assertEqual(broker.messages[2][1]["fields"], {"level": "high", "total": "18446744073709551615"})

    def test_a_failing_connection_keeps_the_rest_in_order(self):
        stream, failing = self.stream(), Broker(fail_after=2)
        self.offer(stream, 5)
        stream.attach(failing)
        self.offer(stream, 1, start=5)  # the connection has failed: kept, not tried
        self.assertEqual((failing.seqs(), stream.buffered), ([0, 1], 4))
        stream.detach()  # packets 1 and 2 were never acknowledged
        again = Broker()
        stream.attach(again)
        self.assertEqual(again.seqs(), [0, 1, 2, 3, 4, 5])


@unittest.skipUnless(importlib.util.find_spec("paho"), "paho-mqtt is not installed")
class CommandLineTest(unittest.TestCase):
    """What `korva gateway` refuses before it serves anything."""

    def test_refusals_exit_1_naming_the_fault(self):
        base = ["gateway", "--broker", "mqtt://127.0.0.1:1", "--name", "gw", "--id", "1"]
        cases = ((["--link", "a=/nonexistent/tty"], "/nonexistent/tty"),
                 ([], "at least one link"),
                 (["--link", "a=/dev/null", "--qos", "2"], "--qos"),
                 (["--link", "a/b=/dev/null"], "link name"),
                 (["--link", "a=/dev/null", "--schema", "/nonexistent/s.toml"], "/nonexistent/s.toml: "))
        for extra, named in cases:
            with self.subTest(extra=extra):
                errors = io.StringIO()
                with contextlib.redirect_stderr(errors):
                    self.assertEqual(cli.main(base + extra), 1)
                self.assertIn(named, errors.getvalue())
                self.assertEqual(errors.getvalue().count("\n"), 1, errors.getvalue())


if __name__ == "__main__":
    unittest.main()
