"""`korva fleet` with no broker: answers to exit statuses and lines, the
fleet's table from retained payloads, `seq` gaps, frame lines, broker URLs
and the gateway's TLS settings."""

import contextlib
import io
import json
import os
import socket
import ssl
import tempfile
import unittest

from korva import broker_url, cli
from korva.fleet import LinkState, SeqGaps, answer_lines, frame_line, gap_line, list_table, no_answer
from korva.errors import KorvaError
from korva.gateway.config import ConfigError, load

REPLY = {"transmitter_id": 3, "receiver_id": 1, "message_type": "response", "message_id": 9, "data": "0201",
         "status": "ok"}


class AnswerTest(unittest.TestCase):
    def test_each_status_has_its_exit_status_and_line(self):
        reply = json.dumps(REPLY).encode()
        cases = ((True, "ok", reply, 0, " 3 ->  1  response  id  9  len   2  02 01 |..|  ok", None),
                 (False, "ok", b"{}", 0, "ok", None),
                 (True, "timeout", b'{"error": "no reply"}', 3, None, "gw1/a: timeout: no reply"),
                 (False, "link_down", b'{"error": "the line is down"}', 4, None, "gw1/a: link_down: the line is down"),
                 (True, "bad_request", b'{"error": "a message id is 0 to 63"}', 5, None,
                  "gw1/a: bad_request: a message id is 0 to 63"),
                 (True, None, b"hello", 1, None, "gw1/a: an answer without a known korva-status (None): hello"),
                 (True, "maybe", b"{}", 1, None, "gw1/a: an answer without a known korva-status ('maybe'): {}"))
        for asks, status, payload, exit_status, out, err in cases:
            with self.subTest(status=status, asks=asks):
                self.assertEqual(tuple(answer_lines("gw1/a", asks, status, payload, False)), (exit_status, out, err))
                as_json = answer_lines("gw1/a", asks, status, payload, True)
                self.assertEqual((as_json.exit_status, as_json.err), (exit_status, err))
                self.assertEqual(json.loads(as_json.out)["status"], status)
        self.assertEqual(json.loads(answer_lines("gw1/a", True, "ok", reply, True).out),
                         {"status": "ok", "reply": REPLY})

    def test_no_answer_is_a_timeout(self):
        self.assertEqual(no_answer("gw1/a", 2.5), (3, None, "gw1/a: timeout: no answer within 2.5 s (is the gateway "
                                                        "there, and does the broker let you send to it?)"))


class ListTest(unittest.TestCase):
    def test_table_from_retained_state(self):
        state = LinkState()
        messages = (("korva/gw1/a/status", b"up"),
                    ("korva/gw1/a/info", b'{"node_id": 1, "target": "/dev/ttyUSB0", "engine_version": 100004}'),
                    ("korva/gw1/a/stats", b'{"ts": 995.5, "gateway": {"frames": 120, "dropped": 0}}'),
                    ("korva/gw2/uart0/status", b"offline"),
                    ("korva/gw2/uart0/stats", b'{"ts": 400, "gateway": {"frames": 7, "dropped": 2}}'),
                    ("korva/gw1/a/frame/3/1/write/5", b"{}"),       # not state: no row of its own
                    ("korva/gw0/z/info", b"not json"),              # a row, with nothing known
                    ("elsewhere/x/y/status", b"up"))
        for topic, payload in messages:
            state.take(topic, payload)
        self.assertEqual(list_table(state.rows(), 1000.0).split("\n"), [
            "GATEWAY  LINK   STATUS   LAST SEEN  NODE  TARGET        ENGINE  FRAMES  DROPPED",
            "gw0      z      -        -          -     -             -       -       -",
            "gw1      a      up       4s ago     1     /dev/ttyUSB0  100004  120     0",
            "gw2      uart0  offline  10m ago    -     -             -       7       2"])
        self.assertEqual([(row["gateway"], row["status"], row["frames"]) for row in state.rows()],
                         [("gw0", None, None), ("gw1", "up", 120), ("gw2", "offline", 7)])

    def test_a_later_status_replaces_the_retained_one(self):
        state = LinkState()
        state.take("korva/gw1/a/status", b"up")
        state.take("korva/gw1/a/status", b"offline")
        self.assertEqual([row["status"] for row in state.rows()], ["offline"])


class WatchTest(unittest.TestCase):
    def test_gaps(self):
        gaps = SeqGaps()
        seen = [("a", 0), ("a", 1), ("b", 5), ("a", 4), ("a", 3), ("a", 4), ("a", 5), ("a", 0), ("a", 2),
                ("b", 6), ("b", 9)]
        found = [gaps.see("gw", link, seq) for link, seq in seen]
        self.assertEqual([(gap.link, gap.first, gap.last) for gap in found if gap is not None],
                         [("a", 2, 3), ("a", 1, 1), ("b", 7, 8)])

    def test_lines(self):
        document = {**REPLY, "seq": 41, "ts": 1796730684.219598}
        self.assertEqual(frame_line("gw1", "a", document, False),
                         "11:51:24.219598  gw1/a  seq 41   3 ->  1  response  id  9  len   2  02 01 |..|  ok")
        self.assertEqual(json.loads(frame_line("gw1", "a", document, True)), {"gateway": "gw1", "link": "a",
                                                                              **document})
        gap = SeqGaps()
        gap.see("gw1", "a", 3)
        self.assertEqual(gap_line(gap.see("gw1", "a", 7), False), "gap  gw1/a  seq 4 to 6 missing (3 frames)")
        self.assertEqual(json.loads(gap_line(gap.see("gw1", "a", 9), True)),
                         {"gateway": "gw1", "link": "a", "gap": {"first": 8, "last": 8, "frames": 1}})
        for broken in ({**document, "data": "zz"}, {**document, "message_type": "ask"}, {"seq": 1},
                       {key: value for key, value in document.items() if key != "ts"}):
            with self.subTest(document=broken), self.assertRaises(KorvaError):
                frame_line("gw1", "a", broken, False)


class UsageTest(unittest.TestCase):
    def test_bad_arguments_are_usage_errors(self):
        broker = ["--broker", "mqtt://127.0.0.1:1"]
        for argv in (["list"], ["list", "--broker", "tcp://h:1"], ["send", "gw1", "3", "write", "5"] + broker,
                     ["send", "gw1/a", "16", "write", "5"] + broker, ["send", "gw1/a", "3", "ask", "5"] + broker,
                     ["send", "gw1/a", "3", "write", "64"] + broker, ["send", "gw1/a", "3", "write", "5", "0"] + broker,
                     ["request", "gw1/a", "3", "9", "--timeout", "0"] + broker, ["watch", "gw+/a"] + broker):
            with self.subTest(argv=argv), contextlib.redirect_stderr(io.StringIO()):
                with self.assertRaises(SystemExit) as raised:
                    cli.main(["fleet"] + argv)
                self.assertEqual(raised.exception.code, 2)

    def test_an_unreachable_broker_is_status_6(self):
        with socket.socket() as unused:
            unused.bind(("127.0.0.1", 0))
            port = unused.getsockname()[1]
            for command in (["list"], ["watch", "--duration", "1"], ["send", "gw1/a", "3", "write", "5"],
                            ["request", "gw1/a", "3", "9", "0102"]):
                with self.subTest(command=command[0]):
                    err = io.StringIO()
                    with contextlib.redirect_stderr(err):
                        status = cli.main(["fleet"] + command + ["--broker", "mqtt://127.0.0.1:%d" % port])
                    self.assertEqual((status, err.getvalue()),
                                     (6, "korva fleet %s: nothing listens on 127.0.0.1:%d\n" % (command[0], port)))


class BrokerUrlTest(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.ca = os.path.join(folder.name, "ca.crt")
        open(self.ca, "w").close()

    def test_urls(self):
        cases = (("mqtt://h", {}, ("h", 1883, None), "mqtt://h:1883"),
                 ("mqtt://10.0.0.1:1884/", {}, ("10.0.0.1", 1884, None), "mqtt://10.0.0.1:1884"),
                 ("mqtts://h", {}, ("h", 8883, broker_url.Tls()), "mqtts://h:8883"),
                 ("mqtts://[::1]:9", {"cafile": self.ca, "cert": self.ca},
                  ("::1", 9, broker_url.Tls(self.ca, self.ca, None)), "mqtts://[::1]:9"))
        for url, files, (host, port, tls), shown in cases:
            with self.subTest(url=url):
                broker = broker_url.parse(url, **files)
                self.assertEqual((broker.host, broker.port, broker.tls, broker.url), (host, port, tls, shown))

    def test_refused(self):
        for url, files in (("tcp://h:1", {}), ("mqtt://h:x", {}), ("mqtt://", {}), ("mqtt://h/x", {}),
                           ("mqtt://u:p@h", {}), ("mqtt://h", {"cafile": self.ca}), ("mqtts://h", {"key": self.ca}),
                           ("mqtts://h", {"cafile": self.ca + ".missing"}), ("ws://h:1", {})):
            with self.subTest(url=url, files=files), self.assertRaises(broker_url.BrokerUrlError):
                broker_url.parse(url, **files)

    def test_why_a_connection_failed(self):
        plain, tls = broker_url.parse("mqtt://h:1"), broker_url.parse("mqtts://h:2")
        with_certificate = broker_url.Broker("h", 2, broker_url.Tls(cert="client.pem"))
        unverified = ssl.SSLCertVerificationError(1, "certificate verify failed")
        unverified.verify_message = "unable to get local issuer certificate"
        alert = ssl.SSLError(1, "[SSL: TLSV13_ALERT_CERTIFICATE_REQUIRED] tlsv13 alert certificate required")
        alert.reason = "TLSV13_ALERT_CERTIFICATE_REQUIRED"
        cases = ((ConnectionRefusedError(111, "Connection refused"), plain, "nothing listens on h:1"),
                 (unverified, tls, "the certificate of h:2 is not trusted: unable to get local issuer certificate"),
                 (ssl.SSLError(1, "[SSL: WRONG_VERSION_NUMBER] wrong version number"), tls,
                  "TLS with h:2 failed ([SSL: WRONG_VERSION_NUMBER] wrong version number): is it a TLS port, and one "
                  "that needs no client certificate?"),
                 (alert, tls, "h:2 ended the TLS connection: tlsv13 alert certificate required"),
                 (ConnectionResetError(104, "Connection reset by peer"), tls,
                  "TLS with h:2 failed (Connection reset by peer): is it a TLS port, and one that needs no client "
                  "certificate?"),
                 (ssl.SSLEOFError(8, "EOF occurred in violation of protocol"), with_certificate,
                  "TLS with h:2 failed (EOF occurred in violation of protocol): is it a TLS port?"),
                 (socket.timeout("timed out"), plain, "no answer from h:1 in time"),
                 (socket.gaierror(-2, "Name or service not known"), plain,
                  "unknown host h: Name or service not known"))
        for error, broker, text in cases:
            with self.subTest(error=type(error).__name__, broker=broker.url):
                self.assertEqual(broker_url.why(error, broker), text)
        self.assertEqual(broker_url.why_closed(plain), "h:1 closed the connection before accepting it (a TLS port? "
                                                       "its URL is then mqtts://)")
        self.assertEqual(broker_url.why_closed(tls), "h:2 closed the connection before accepting it")

    def test_gateway_settings(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        path = os.path.join(folder.name, "gw.ini")
        with open(path, "w") as file:
            file.write("[gateway]\nbroker = mqtts://broker.local\nname = gw1\nid = 1\ncafile = %s\n"
                       "[link a]\ntarget = /dev/x\n" % self.ca)
        config = load(path)
        self.assertEqual((config.broker.url, config.tls), ("mqtts://broker.local:8883", broker_url.Tls(self.ca)))
        config = load(path, tls_files={"cafile": None, "cert": self.ca, "key": self.ca})
        self.assertEqual(config.tls, broker_url.Tls(self.ca, self.ca, self.ca))
        for broker, files in (("mqtt://h", {"cafile": self.ca}), ("mqtts://h", {"cert": self.ca + ".x"})):
            with self.subTest(broker=broker), self.assertRaises(ConfigError):
                load(broker=broker, links=["a=/dev/x"], name="gw", id="1", tls_files=files)


if __name__ == "__main__":
    unittest.main()
