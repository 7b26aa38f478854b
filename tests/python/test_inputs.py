"""What users write, each read in one place: addresses (line targets, the
gateway's broker, the dashboard's broker), bodies in hex, and node ids."""

import contextlib
import io
import unittest

from korva import cli, frame
from korva.addresses import url
from korva.dashboard import check_broker
from korva.gateway.config import ConfigError, load
from korva.gateway.payloads import BadPayload, command_body
from korva.tcp import parse_target

REFUSED = "refused"


def gateway_broker(text):
    config = load(broker=text, links=["a=/dev/x"], name="gw", id="1")
    return config.host, config.port


def outcome(read, text):
    try:
        return read(text)
    except (ValueError, ConfigError):
        return REFUSED


class AddressTest(unittest.TestCase):
    def test_each_reader_takes_its_schemes_with_a_host_and_a_port(self):
        for read, text, expected in (
                (parse_target, "tcp://bench.local:4000", ("bench.local", 4000)),
                (parse_target, "tcp://[::1]:4000/", ("::1", 4000)),
                (parse_target, "/dev/ttyUSB0", None),
                (parse_target, "tcp://bench.local", REFUSED),
                (parse_target, "tcp://:4000", REFUSED),
                (parse_target, "tcp://h:port", REFUSED),
                (parse_target, "tcp://h:65536", REFUSED),
                (parse_target, "tcp://h:4000/dev", REFUSED),
                (gateway_broker, "mqtt://broker.local", ("broker.local", 1883)),
                (gateway_broker, "mqtt://broker.local:1884/", ("broker.local", 1884)),
                (gateway_broker, "mqtt://broker.local/topic", REFUSED),
                (gateway_broker, "tcp://broker.local:1883", REFUSED),
                (check_broker, "ws://127.0.0.1:9001", "ws://127.0.0.1:9001"),
                (check_broker, "wss://broker.local:443/mqtt", "wss://broker.local:443/mqtt"),
                (check_broker, "ws://127.0.0.1", REFUSED),
                (check_broker, "mqtt://127.0.0.1:1883", REFUSED)):
            with self.subTest(read=read.__name__, text=text):
                self.assertEqual(outcome(read, text), expected)

    def test_an_address_written_back_reads_the_same(self):
        for host, written in (("bench.local", "tcp://bench.local:4000"), ("::1", "tcp://[::1]:4000")):
            with self.subTest(host=host):
                self.assertEqual(url("tcp", host, 4000), written)
                self.assertEqual(parse_target(written), (host, 4000))


def run_command(*args):
    """Exit status and error output of `korva *args`, run in this process."""
    errors = io.StringIO()
    with contextlib.redirect_stderr(errors):
        try:
            status = cli.main(list(args))
        except SystemExit as exit:  # argparse's usage errors
            status = exit.code
    return status, errors.getvalue()


class HexBodyTest(unittest.TestCase):
    def test_hex_bodies_with_or_without_spaces(self):
        for text, body in (("", b""), ("01 02 ff", b"\x01\x02\xff"), ("0102FF", b"\x01\x02\xff")):
            with self.subTest(text=text):
                self.assertEqual(frame.body_from_hex(text), body)
                self.assertEqual(command_body(b'{"data": "%s"}' % text.encode(), frame.WRITE, 1), body)

    def test_what_is_not_hex_is_refused_by_the_command_line_and_the_gateway_alike(self):
        for text in ("zz", "010", "0x01"):
            with self.subTest(text=text):
                reason = "%r is not hex bytes such as '01 02 ff'" % text
                with self.assertRaisesRegex(ValueError, "^%s$" % reason):
                    frame.body_from_hex(text)
                with self.assertRaises(BadPayload) as caught:
                    command_body(b'{"data": "%s"}' % text.encode(), frame.WRITE, 1)
                self.assertEqual(str(caught.exception), '"data": ' + reason)
                status, errors = run_command("send", "--port", "/nonexistent/tty", "--to", "2", "--id", "1", text)
                self.assertEqual((status, errors), (1, "korva send: error: DATA: %s (or use --text)\n" % reason))


class NodeIdTest(unittest.TestCase):
    def test_an_own_id_is_0_to_14_and_a_receiver_0_to_15(self):
        send = ("send", "--port", "/nonexistent/tty", "--id", "1")
        for args, usage_error in ((("--from", "14", "--to", "15"), False), (("--from", "15", "--to", "2"), True),
                                  (("--to", "16"), True)):
            with self.subTest(args=args):
                status, errors = run_command(*send, *args)
                self.assertEqual(status, 2 if usage_error else 1, errors)
        for node_id in ("0", "14"):
            self.assertEqual(load(broker="mqtt://h", links=["a=/dev/x"], name="gw", id=node_id).links[0].node_id,
                             int(node_id))
        with self.assertRaisesRegex(ConfigError, "own id is 0 to 14 .15 is the public id., not 15"):
            load(broker="mqtt://h", links=["a=/dev/x"], name="gw", id="15")


if __name__ == "__main__":
    unittest.main()
