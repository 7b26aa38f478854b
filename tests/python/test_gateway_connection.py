"""The gateway's MQTT v5 packets, byte for byte, and its connection driven
by hand against a scripted broker on a socket pair: the login first, QoS 1
messages held beyond the broker's window and sent as acknowledgements make
room, messages acknowledged, the goodbye after everything queued, pings,
and each way a connection ends."""

import importlib.util
import socket
import unittest
from unittest import mock

HAVE_PAHO = importlib.util.find_spec("paho") is not None
if HAVE_PAHO:
    from paho.mqtt.packettypes import PacketTypes
    from paho.mqtt.properties import Properties

    from korva.gateway import connection as connection_module
    from korva.gateway import packets
    from korva.gateway.connection import KEEPALIVE, Connection

LOGIN = bytes.fromhex("101e" "00044d51545405" "ee" "000a" "00" "000163" "00" "000174" "00036f6666" "000175" "00027077")
CONNACK_WINDOW_2 = bytes.fromhex("2006" "00" "00" "03" "210002")  # Receive Maximum 2


def publish_properties(**values):
    properties = Properties(PacketTypes.PUBLISH)
    for name, value in values.items():
        setattr(properties, name, value)
    return properties


@unittest.skipUnless(HAVE_PAHO, "needs paho-mqtt")
class PacketTest(unittest.TestCase):
    def test_packets_written(self):
        cases = [
            ("login", packets.connect("c", 10, "u", "pw", "t", b"off"), LOGIN),
            ("login without credentials", packets.connect("c", 10, None, None, "t", b"off"),
             bytes.fromhex("1017" "00044d51545405" "2e" "000a" "00" "000163" "00" "000174" "00036f6666")),
            ("login without a will", packets.connect("c", 10, "u", None, None, None),
             bytes.fromhex("1011" "00044d51545405" "82" "000a" "00" "000163" "000175")),
            ("QoS 1 retained", packets.publish("a/b", b"xy", 1, True, 0x1234),
             bytes.fromhex("330a" "0003612f62" "1234" "00" "7879")),
            ("QoS 0", packets.publish("a/b", b"xy", 0, False, 0), bytes.fromhex("3008" "0003612f62" "00" "7879")),
            ("with properties", packets.publish("r", b"", 1, False, 1, publish_properties(CorrelationData=b"\x07")),
             bytes.fromhex("320a" "000172" "0001" "04" "09000107")),
            ("subscription", packets.subscribe(7, "k/#", 1), bytes.fromhex("8209" "0007" "00" "00036b2f23" "01")),
            ("acknowledgement", packets.acknowledgement(0x0102), bytes.fromhex("40020102")),
            ("ping", packets.PING, bytes.fromhex("c000")),
            ("goodbye", packets.GOODBYE, bytes.fromhex("e000")),
        ]
        for name, written, expected in cases:
            with self.subTest(name):
                self.assertEqual(written.hex(), expected.hex())

    def test_remaining_lengths_take_one_to_four_bytes(self):
        for body_size, length_bytes in [(127, "7f"), (128, "8001"), (16383, "ff7f"), (16384, "808001")]:
            with self.subTest(body_size=body_size):
                packet = packets.publish("t", bytes(body_size - 4), 0, False, 0)
                self.assertEqual(packet[1:1 + len(length_bytes) // 2].hex(), length_bytes)
                self.assertEqual(packets.split(packet), ([(packets.PUBLISH, 0, packet[-body_size:])], len(packet)))

    def test_split_takes_whole_packets_leaves_the_rest_and_refuses_a_five_byte_length(self):
        ack, ping_answer = packets.acknowledgement(9), bytes.fromhex("d000")
        stream = ack + ping_answer + packets.publish("t", b"abc", 0, False, 0)
        for cut in range(len(stream) + 1):
            with self.subTest(cut=cut):
                found, used = packets.split(stream[:cut])
                whole = [p for p, end in [(ack, 4), (ping_answer, 6), (stream[6:], len(stream))] if end <= cut]
                self.assertEqual(len(found), len(whole))
                self.assertEqual(used, sum(len(p) for p in whole))
        self.assertEqual(packets.split(stream)[0][:2], [(packets.PUBACK, 0, b"\x00\x09"), (packets.PINGRESP, 0, b"")])
        with self.assertRaisesRegex(packets.ProtocolError, "longer than 4 bytes"):
            packets.split(bytes.fromhex("30ffffffff7f"))

    def test_messages_read(self):
        body = bytes.fromhex("0003612f62" "0042" "0b" "080003722f31" "09000201ff") + b"hello"
        message = packets.message(0x2, body)
        self.assertEqual((message.topic, message.payload, message.qos, message.mid), ("a/b", b"hello", 1, 0x42))
        self.assertEqual((message.properties.ResponseTopic, message.properties.CorrelationData), ("r/1", b"\x01\xff"))
        self.assertEqual(packets.message(0x0, bytes.fromhex("000174" "00") + b"x")[:4], ("t", b"x", 0, 0))

    def test_malformed_messages_are_protocol_errors(self):
        cases = [
            ("topic past the end", 0x0, bytes.fromhex("0009" "74")),
            ("no packet id", 0x2, bytes.fromhex("000174")),
            ("QoS 2", 0x4, bytes.fromhex("000174" "0001" "00")),
            ("properties past the end", 0x0, bytes.fromhex("000174" "05" "0800")),
            ("topic not UTF-8", 0x0, bytes.fromhex("0001ff" "00")),
            ("empty", 0x0, b""),
        ]
        for name, flags, body in cases:
            with self.subTest(name):
                with self.assertRaises(packets.ProtocolError):
                    packets.message(flags, body)

    def test_login_answers_and_reasons(self):
        self.assertEqual(packets.answer(CONNACK_WINDOW_2[2:])[1].ReceiveMaximum, 2)
        self.assertEqual(packets.answer(bytes.fromhex("0087"))[0], 0x87)
        self.assertEqual(packets.refusal(0x87), "Not authorized")
        self.assertEqual(packets.refusal(7), "reason 7")
        self.assertEqual(packets.disconnection(bytes.fromhex("8e")), "Session taken over")
        with self.assertRaises(packets.ProtocolError):
            packets.answer(b"\x00")


@unittest.skipUnless(HAVE_PAHO, "needs paho-mqtt")
class ConnectionTest(unittest.TestCase):
    def setUp(self):
        ours, self.broker = socket.socketpair()
        ours.setblocking(False)
        self.broker.settimeout(5.0)
        self.addCleanup(self.broker.close)
        self.answers, self.messages, self.acknowledged = [], [], []
        self.connection = Connection(ours, "c", "u", "pw", "t", b"off",
                                     on_answer=lambda reason, properties: self.answers.append(reason),
                                     on_message=self.messages.append)
        self.addCleanup(self.connection.close)

    def publish(self, topic, payload):
        return self.connection.publish(topic, payload, 1, on_acknowledged=self.acknowledged.append)

    def written(self):
        """What the connection wrote when asked to, as the broker reads it."""
        self.assertTrue(self.connection.write())
        self.broker.setblocking(False)
        try:
            return self.broker.recv(65536)
        except BlockingIOError:
            return b""
        finally:
            self.broker.settimeout(5.0)

    def arrive(self, data):
        self.broker.sendall(data)
        self.assertTrue(self.connection.read())

    def logged_in(self, answer=CONNACK_WINDOW_2):
        self.assertEqual(self.written(), LOGIN)
        self.arrive(answer)
        self.assertEqual(self.answers, [0])

    def test_messages_past_the_window_wait_for_acknowledgements_in_order(self):
        self.logged_in()
        mids = [self.publish("f", bytes([n])) for n in range(4)]
        self.assertEqual(mids, [1, 2, 3, 4])
        self.assertEqual(self.written(),
                         packets.publish("f", b"\x00", 1, False, 1) + packets.publish("f", b"\x01", 1, False, 2))
        self.arrive(packets.acknowledgement(2))
        self.assertEqual(self.acknowledged, [2])
        self.assertEqual(self.written(), packets.publish("f", b"\x02", 1, False, 3))
        self.arrive(packets.acknowledgement(9) + packets.acknowledgement(2))  # not ours; twice
        self.assertEqual((self.acknowledged, self.written()), ([2], b""))
        self.arrive(packets.acknowledgement(1) + packets.acknowledgement(3))
        self.assertEqual(self.acknowledged, [2, 1, 3])
        self.assertEqual(self.written(), packets.publish("f", b"\x03", 1, False, 4))
        self.assertEqual(self.connection.publish("q", b"", 0), 0)  # QoS 0 never waits
        self.assertEqual(self.written(), packets.publish("q", b"", 0, False, 0))

    def test_packet_ids_in_use_are_skipped_when_they_wrap_and_all_in_use_end_the_connection(self):
        self.logged_in(bytes.fromhex("20020000"))  # no window: the broker takes them all
        self.assertEqual([self.publish("f", b"") for _ in range(65535)], list(range(1, 65536)))
        while self.connection.want_write():
            self.written()
        self.arrive(packets.acknowledgement(5) + packets.acknowledgement(7))
        self.assertEqual([self.publish("f", b"") for _ in range(2)], [5, 7])
        # None left: a broker that answers nothing is given up, not waited on forever.
        self.assertIsNone(self.publish("f", b""))
        with self.assertRaisesRegex(ConnectionAbortedError, "all 65535 packet ids unanswered"):
            self.connection.write()

    def test_a_message_at_qos_1_is_acknowledged_and_handed_on(self):
        self.logged_in()
        self.arrive(bytes.fromhex("3208" "000174" "0033" "00" "6869") + bytes.fromhex("3006" "000174" "00" "2121"))
        self.assertEqual([(m.topic, m.payload, m.qos) for m in self.messages], [("t", b"hi", 1), ("t", b"!!", 0)])
        self.assertEqual(self.written(), packets.acknowledgement(0x33))

    def test_the_goodbye_goes_after_the_held_messages_and_ends_the_connection(self):
        self.logged_in()
        for n in range(3):
            self.publish("f", bytes([n]))
        self.connection.say_goodbye()
        self.assertIsNone(self.publish("f", b"late"))
        self.assertEqual(len(self.written()), 2 * len(packets.publish("f", b"\x00", 1, False, 1)))
        self.arrive(packets.acknowledgement(1))
        self.assertFalse(self.connection.write())  # the held one and the goodbye went: it is over
        self.assertEqual(self.broker.recv(100), packets.publish("f", b"\x02", 1, False, 3) + packets.GOODBYE)

    def test_a_quiet_connection_is_pinged_and_one_that_does_not_answer_fails(self):
        self.logged_in()
        clock = mock.Mock(return_value=connection_module.time.monotonic() + KEEPALIVE)
        with mock.patch.object(connection_module.time, "monotonic", clock):
            self.assertTrue(self.connection.check())
            self.assertEqual(self.written(), packets.PING)
            self.arrive(bytes.fromhex("d000"))
            clock.return_value += KEEPALIVE
            self.assertTrue(self.connection.check())
            self.assertEqual(self.written(), packets.PING)
            clock.return_value += KEEPALIVE + 1
            with self.assertRaisesRegex(socket.timeout, "no answer to a ping"):
                self.connection.check()

    def test_how_a_connection_ends(self):
        with self.subTest("the broker's goodbye"):
            self.logged_in()
            self.broker.sendall(bytes.fromhex("e0018e"))
            with self.assertRaisesRegex(ConnectionResetError, "Session taken over"):
                self.connection.read()
        with self.subTest("the broker closes"):
            self.broker.close()
            self.assertFalse(self.connection.read())
        with self.subTest("nonsense from the broker"):
            self.setUp()
            self.logged_in()
            self.broker.sendall(bytes.fromhex("f000"))
            with self.assertRaisesRegex(packets.ProtocolError, "type 15"):
                self.connection.read()


if __name__ == "__main__":
    unittest.main()
