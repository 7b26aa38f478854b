"""A site's broker bridged to a central one, as tools/mosquitto configures
them, with `korva gateway` on the site (a socat pseudo-terminal pair, a
scripted node on the far end) and `korva fleet` on the central side; and
MQTT over TLS with certificates made by openssl for the test."""

import json
import os
import re
import shutil
import signal
import threading
import time
import unittest

import KorvaPy
from korva import frame
from korva_broker import (HAVE_BROKER, WAIT, Certificates, Client, ExampleBroker, GatewayProcess, Mosquitto, Peer,
                          TlsMosquitto, fleet, process_errors, subscribed)
from korva_servers import HAVE_SERVERS, SocatPtys, folder_of, wait_until


GATEWAY, PEER = 1, 3
OUTAGE = 5.0           # seconds the central broker is away
AUTOSAVE = 1.0         # seconds between the central broker's saves (central.conf)
FRAME_PACE = 0.02      # seconds between the peer's frames
WILL_WAIT = 30.0       # seconds for a killed gateway's will to cross the bridge


def frame_seqs(client, prefix="korva/gw1/a/frame/"):
    return [json.loads(message.payload)["seq"] for message in client.on(prefix)]


def send_frames(peer, indexes, pace=FRAME_PACE):
    for index in indexes:
        status = peer.node.send(frame.INDICATE, frame.PUBLIC_ID, index % 60, index.to_bytes(2, "big"))
        if status != KorvaPy.KORVA_STATUS_SUCCESS:
            raise AssertionError("the peer could not send frame %d: %d" % (index, status))
        time.sleep(pace)


def subfolder(parent, name):
    path = os.path.join(parent, name)
    os.mkdir(path)
    return path


@unittest.skipUnless(HAVE_BROKER and HAVE_SERVERS, "mosquitto, paho-mqtt or socat is not installed")
class BridgeTest(unittest.TestCase):
    """central.conf and edge.conf, bridged; gateway gw1 on the edge serving link a."""

    def setUp(self):
        folder = folder_of(self)
        self.central = ExampleBroker(subfolder(folder, "central"), "central.conf",
                                     users=("site1", "engineer", "operator", "viewer"))
        self.central.start()
        self.addCleanup(self.central.stop)
        self.edge = ExampleBroker(subfolder(folder, "edge"), "edge.conf", users=("gw1", "viewer"),
                                  address="127.0.0.1:%d" % self.central.port)
        self.edge.start()
        self.addCleanup(self.edge.stop)
        self.ptys = SocatPtys(subfolder(folder, "a"))
        self.ptys.start()
        self.addCleanup(self.ptys.stop)
        self.peer = Peer(self.ptys.b, PEER)
        self.addCleanup(self.peer.node.close)
        self.gateway = GatewayProcess(self.edge, "gw1", {"a": self.ptys.a}, "--stats-interval", "0.5",
                                      "--request-timeout", "30")
        self.gateway.start()
        self.addCleanup(self.gateway.stop)
        self.viewer = self.client("viewer", "korva/+/+/status")
        self.assertTrue(self.viewer.wait_for(lambda: self.status() == b"up"),
                        "the link's status did not cross the bridge: %s" % self.gateway_errors())

    def client(self, user, *topics, lasting=False):
        return subscribed(self, self.central, user, *topics, lasting=lasting)

    def gateway_errors(self):
        return process_errors(self.gateway)

    def status(self):
        messages = self.viewer.on("korva/gw1/a/status")
        return messages[-1].payload if messages else None

    def test_frames_arrive_on_the_central_broker_once_in_order(self):
        watcher = self.client("viewer", "korva/gw1/a/frame/#")
        send_frames(self.peer, range(100), pace=0.002)
        self.assertTrue(watcher.wait_for(lambda: len(frame_seqs(watcher)) >= 100), frame_seqs(watcher)[-5:])
        time.sleep(0.5)  # room for a duplicate to show
        self.assertEqual(frame_seqs(watcher), list(range(100)))
        first = watcher.on("korva/gw1/a/frame/")[7]
        self.assertEqual((first.topic, json.loads(first.payload)["data"]), ("korva/gw1/a/frame/3/15/indicate/7",
                                                                             "0007"))

    def test_nothing_is_lost_while_the_central_broker_is_away(self):
        recorder = self.client("viewer", "korva/gw1/a/frame/#", lasting=True)
        before, total = 40, 160
        send_frames(self.peer, range(before))
        self.assertTrue(recorder.wait_for(lambda: len(frame_seqs(recorder)) >= before, 60),
                        "seen before the outage: %s; gateway: %s" % (frame_seqs(recorder), self.gateway_errors()))
        time.sleep(AUTOSAVE * 2)  # the recorder's session saved by the central broker
        sender = threading.Thread(target=send_frames, args=(self.peer, range(before, total)))
        sender.start()
        self.addCleanup(sender.join, WAIT)
        self.central.stop(signal.SIGKILL)
        time.sleep(OUTAGE)
        self.central.start()
        sender.join(60)
        self.assertFalse(sender.is_alive())
        self.assertTrue(recorder.wait_for(lambda: set(frame_seqs(recorder)) >= set(range(total)), 60),
                        sorted(set(range(total)) - set(frame_seqs(recorder))))
        seqs = frame_seqs(recorder)
        self.assertEqual(sorted(set(seqs)), list(range(total)))
        firsts = [seq for index, seq in enumerate(seqs) if seq not in seqs[:index]]
        self.assertEqual(firsts, list(range(total)))  # repeats aside, in order

    def test_fleet_request_from_the_central_side_reaches_the_node(self):
        done = fleet(self.central.url, "engineer", "request", "gw1/a", str(PEER), "9", "010203")
        self.assertEqual((done.returncode, done.stdout, done.stderr),
                         (0, " 3 ->  1  response  id  9  len   3  03 02 01 |...|  ok\n", ""))
        done = fleet(self.central.url, "operator", "request", "gw1/a", str(PEER), "63", "--json")
        self.assertEqual((done.returncode, json.loads(done.stdout)), (0, {"status": "ok", "reply": {
            "transmitter_id": PEER, "receiver_id": GATEWAY, "message_type": "response", "message_id": 63,
            "data": "a4860100", "status": "ok"}}))
        done = fleet(self.central.url, "operator", "send", "gw1/a", str(PEER), "write", "5", "ff00")
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "ok\n", ""))
        self.assertTrue(wait_until(lambda: any(m.message_type == frame.WRITE for m in self.peer.received), WAIT))
        self.assertEqual([(m.message_type, m.message_id, m.data) for m in self.peer.received][-1],
                         (frame.WRITE, 5, b"\xff\x00"))

    def test_fleet_exit_statuses(self):
        self.answer_bad_requests()
        cases = ((("request", "gw1/a", "7", "9", "--timeout", "1"), "engineer", None, 3,
                  r"korva fleet request: gw1/a: timeout: .*\n"),
                 (("request", "gw1/zz", "3", "9", "--timeout", "1"), "engineer", None, 3,
                  r"korva fleet request: gw1/zz: timeout: no answer within 1 s \(.*\)\n"),
                 (("send", "gw1/a", "4", "write", "5", "--timeout", "1"), "operator", None, 3,  # the list denies it
                  r"korva fleet send: gw1/a: timeout: no answer within 1 s \(.*\)\n"),
                 (("send", "gw2/b", "3", "write", "5"), "engineer", None, 5,
                  r"korva fleet send: gw2/b: bad_request: not this one\n"),
                 (("list",), "engineer", "wrong", 6,
                  r"korva fleet list: mqtt://127\.0\.0\.1:\d+ refused the login: Not authorized\n"))
        for args, user, password, status, stderr in cases:
            with self.subTest(args=args, user=user):
                done = fleet(self.central.url, user, *args, password=password)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertRegex(done.stderr, "^%s$" % stderr)
        self.assertEqual([m for m in self.peer.received if m.receiver_id == 4], [])

        self.ptys.stop()  # its links go with it: the gateway finds no line to reopen
        self.assertTrue(self.viewer.wait_for(lambda: self.status() == b"down"), self.status())
        done = fleet(self.central.url, "engineer", "request", "gw1/a", str(PEER), "9")
        self.assertEqual((done.returncode, done.stdout, done.stderr),
                         (4, "", "korva fleet request: gw1/a: link_down: the line is down\n"))

    def answer_bad_requests(self):
        """Answer every command to gw2 (on no site here) bad_request, as a
        gateway answers a command it cannot read."""
        answerer = Client(self.central, "site1")
        self.addCleanup(answerer.close)

        def answer(_client, _userdata, message):
            answerer.client.publish(message.properties.ResponseTopic, b'{"error": "not this one"}', 1, False,
                                    answer_properties(message, "bad_request"))

        answerer.client.on_message = answer
        answerer.subscribe("korva/gw2/+/send/#")

    def test_fleet_list_shows_the_link_and_offline_once_the_gateway_is_killed(self):
        stats = self.client("viewer", "korva/gw1/a/stats")
        self.assertTrue(stats.wait_for(lambda: len(stats.on("korva/gw1/a/stats")) >= 2))
        done = fleet(self.central.url, "viewer", "list", "--json")
        self.assertEqual(done.returncode, 0, done.stderr)
        rows = json.loads(done.stdout)
        self.assertEqual([(row["gateway"], row["link"], row["status"], row["node_id"], row["target"],
                           row["engine_version"], row["frames"], row["dropped"]) for row in rows],
                         [("gw1", "a", "up", GATEWAY, self.ptys.a, 100004, 0, 0)])
        self.assertLess(abs(time.time() - rows[0]["last_seen"]), 30)

        self.gateway.stop(signal.SIGKILL)
        self.assertTrue(self.viewer.wait_for(lambda: self.status() == b"offline", WILL_WAIT))
        done = fleet(self.central.url, "viewer", "list")
        self.assertEqual(done.returncode, 0, done.stderr)
        header, row = done.stdout.splitlines()
        self.assertEqual(header.split(), ["GATEWAY", "LINK", "STATUS", "LAST", "SEEN", "NODE", "TARGET", "ENGINE",
                                          "FRAMES", "DROPPED"])
        self.assertEqual(row.split()[:3] + row.split()[5:], ["gw1", "a", "offline", str(GATEWAY), self.ptys.a,
                                                             "100004", "0", "0"])

    def test_fleet_watch_shows_the_frames_in_order(self):
        stop = threading.Event()

        def keep_sending():
            index = 0
            while not stop.is_set():
                send_frames(self.peer, [index], pace=0.05)
                index += 1

        sender = threading.Thread(target=keep_sending)
        sender.start()
        self.addCleanup(sender.join, WAIT)
        self.addCleanup(stop.set)
        done = fleet(self.central.url, "viewer", "watch", "gw1/a", "--duration", "4")
        stop.set()
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        lines = done.stdout.splitlines()
        self.assertGreater(len(lines), 5, lines)
        pattern = re.compile(r"^\d\d:\d\d:\d\d\.\d{6}  gw1/a  seq (\d+)   3 -> 15  indicate  id (\d\d| \d)  len   2  "
                             r"([0-9a-f]{2}) ([0-9a-f]{2}) \|..\|  ok$")
        matches = [pattern.match(line) for line in lines]
        self.assertTrue(all(matches), lines)
        seqs = [int(match.group(1)) for match in matches]
        self.assertEqual(seqs, list(range(seqs[0], seqs[0] + len(seqs))))
        self.assertEqual([int(match.group(3) + match.group(4), 16) for match in matches], seqs)


def answer_properties(message, status):
    """The properties of a gateway's answer to `message`."""
    from korva.gateway.session import reply_properties
    return reply_properties(message.properties.CorrelationData, [("korva-status", status)])


@unittest.skipUnless(HAVE_BROKER and HAVE_SERVERS and shutil.which("openssl"),
                     "mosquitto, paho-mqtt, socat or openssl is not installed")
class TlsTest(unittest.TestCase):
    """A broker listening for TLS only, asking clients for certificates."""

    def setUp(self):
        folder = folder_of(self)
        self.certificates = Certificates(subfolder(folder, "certificates"))
        self.broker = TlsMosquitto(subfolder(folder, "broker"), self.certificates.server,
                                   client_ca=self.certificates.ca)
        self.broker.start()
        self.addCleanup(self.broker.stop)
        self.plain = Mosquitto(subfolder(folder, "plain"))
        self.plain.start()
        self.addCleanup(self.plain.stop)
        self.ptys = SocatPtys(subfolder(folder, "a"))
        self.ptys.start()
        self.addCleanup(self.ptys.stop)
        self.client_files = ("--cert", self.certificates.client[0], "--key", self.certificates.client[1])

    def gateway(self, url, *options):
        gateway = GatewayProcess(self.broker, "gw1", {"a": self.ptys.a}, *options)
        gateway.args[gateway.args.index("--broker") + 1] = url
        gateway.start()
        self.addCleanup(gateway.stop)
        return gateway

    def test_a_gateway_reaches_a_tls_only_broker(self):
        gateway = self.gateway(self.broker.url, "--cafile", self.certificates.ca, *self.client_files)
        done = None
        for _ in range(int(WAIT)):  # the link is listed up once the gateway is in
            done = fleet(self.broker.url, "viewer", "list", "--json", "--cafile", self.certificates.ca,
                         *self.client_files)
            if done.returncode == 0 and [row["status"] for row in json.loads(done.stdout)] == ["up"]:
                break
            time.sleep(1)
        self.assertEqual((done.returncode, [row["status"] for row in json.loads(done.stdout)]), (0, ["up"]),
                         gateway.process.stderr.read1() if gateway.process.poll() is not None else done.stderr)

    def failures(self):
        """(URL, options, why: a pattern of the line said once) of connections that must fail."""
        port, ca, plain = self.broker.port, self.certificates.ca, self.plain.port
        return (((self.broker.url, "--cafile", self.certificates.stranger) + self.client_files,
                 r"the certificate of 127\.0\.0\.1:%d is not trusted: \S.*" % port),
                (("mqtts://localhost:%d" % port, "--cafile", ca) + self.client_files,
                 r"the certificate of localhost:%d is not trusted: Hostname mismatch, certificate is not valid "
                 r"for 'localhost'\." % port),
                (("mqtt://127.0.0.1:%d" % port,),
                 r"127\.0\.0\.1:%d closed the connection before accepting it \(a TLS port\? its URL is then "
                 r"mqtts://\)" % port),
                (("mqtts://127.0.0.1:%d" % plain, "--cafile", ca), r"TLS with 127\.0\.0\.1:%d failed \(.+\): "
                                                                  r"is it a TLS port, and one that needs no client "
                                                                  r"certificate\?" % plain))

    def test_a_gateway_that_cannot_trust_or_speak_to_the_broker_says_why_once(self):
        for (url, *options), why in self.failures():
            with self.subTest(url=url, options=options[:2]):
                gateway = self.gateway(url, *options)
                time.sleep(4)  # several attempts, each failing
                os.kill(gateway.process.pid, signal.SIGTERM)
                self.assertEqual(gateway.process.wait(WAIT), 0)
                lines = gateway.process.stderr.read().decode().splitlines()
                lines = sorted(line for line in lines if " serving " not in line)
                # One line for each connection: the gateway's own (frames) and the link's.
                self.assertEqual(len(lines), 2, lines)
                for line, connection in zip(lines, ("korva/gw1/a", "korva/gw1")):
                    self.assertRegex(line, "^korva gateway: %s: %s$" % (connection, why))

    def test_fleet_commands_that_cannot_trust_or_speak_to_the_broker(self):
        no_certificate = ((self.broker.url, "--cafile", self.certificates.ca),
                          # the alert is read, the connection is found closed first, or the handshake itself is cut
                          r"(127\.0\.0\.1:%d ended the TLS connection: tlsv13 alert certificate required"
                          r"|127\.0\.0\.1:%d closed the connection before accepting it"
                          r"|TLS with 127\.0\.0\.1:%d failed \(.+\): is it a TLS port, and one that needs no client "
                          r"certificate\?)" % ((self.broker.port,) * 3))
        for (url, *options), why in self.failures() + (no_certificate,):
            with self.subTest(url=url, options=options[:2]):
                done = fleet(url, "viewer", "list", *options)
                self.assertEqual(done.returncode, 6, done.stderr)
                self.assertRegex(done.stderr, r"^korva fleet list: %s\n$" % why)


class TlsExampleBroker(ExampleBroker):
    scheme = "mqtts"


@unittest.skipUnless(HAVE_BROKER and HAVE_SERVERS and shutil.which("openssl"),
                     "mosquitto, paho-mqtt, socat or openssl is not installed")
class TlsBridgeTest(unittest.TestCase):
    """central-tls.conf and edge-tls.conf: the uplink over TLS, the central
    broker's certificate checked by the edge; gateway gw1 on the edge."""

    def setUp(self):
        self.folder = folder_of(self)
        self.certificates = Certificates(subfolder(self.folder, "certificates"))
        certificate, key = self.certificates.server
        self.central = TlsExampleBroker(subfolder(self.folder, "central"), "central-tls.conf",
                                        users=("site1", "engineer", "viewer"), certfile=certificate, keyfile=key)
        self.central.start()
        self.addCleanup(self.central.stop)
        self.ptys = SocatPtys(subfolder(self.folder, "a"))
        self.ptys.start()
        self.addCleanup(self.ptys.stop)
        self.peer = Peer(self.ptys.b, PEER)
        self.addCleanup(self.peer.node.close)

    def edge_trusting(self, authority):
        """The edge broker, its bridge trusting `authority`, and the gateway on it, up."""
        edge = ExampleBroker(subfolder(self.folder, "edge"), "edge-tls.conf", users=("gw1", "viewer"),
                             address="127.0.0.1:%d" % self.central.port, bridge_cafile=authority)
        edge.start()
        self.addCleanup(edge.stop)
        gateway = GatewayProcess(edge, "gw1", {"a": self.ptys.a})
        gateway.start()
        self.addCleanup(gateway.stop)
        self.assertTrue(wait_until(lambda: self.links(edge.url) == ["up"], WAIT), process_errors(gateway))

    def links(self, url, *options):
        """The statuses `korva fleet list` shows on the broker at `url`."""
        done = fleet(url, "viewer", "list", "--json", *options)
        return [row["status"] for row in json.loads(done.stdout)] if done.returncode == 0 else done.stderr

    def test_a_gateway_behind_a_tls_uplink_is_listed_and_asked_from_the_central_side(self):
        self.edge_trusting(self.certificates.ca)
        central = ("--cafile", self.certificates.ca)
        self.assertTrue(wait_until(lambda: self.links(self.central.url, *central) == ["up"], WAIT),
                        self.links(self.central.url, *central))
        done = fleet(self.central.url, "engineer", "request", "gw1/a", str(PEER), "9", "010203", *central)
        self.assertEqual((done.returncode, done.stdout, done.stderr),
                         (0, " 3 ->  1  response  id  9  len   3  03 02 01 |...|  ok\n", ""))

    def test_an_uplink_that_does_not_trust_the_central_certificate_carries_nothing(self):
        self.edge_trusting(self.certificates.stranger)
        time.sleep(3)  # the bridge tries again every second or two
        self.assertEqual(self.links(self.central.url, "--cafile", self.certificates.ca), [])


if __name__ == "__main__":
    unittest.main()
