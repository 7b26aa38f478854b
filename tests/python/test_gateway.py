"""`korva gateway` with a real mosquitto: two gateway processes serving three
links (two socat pseudo-terminal pairs, and one served by ser2net over TCP),
a scripted node on the far end of each, MQTT v5 clients of the access
list's users watching and commanding them."""

import json
import signal
import threading
import time
import unittest

import KorvaPy
import korva
from korva import frame
from korva_broker import (HAVE_BROKER, PASSWORDS, WAIT, GatewayProcess, Peer, korva_status,
                          process_errors, started_broker, subscribed)
from korva_links import wait_until
from korva_servers import HAVE_SERVERS, Rig, socat_ptys

SUCCESS = KorvaPy.KORVA_STATUS_SUCCESS
GATEWAY, PEER = 1, 3
LINKS = {"a": "gw1", "b": "gw1", "c": "gw2"}  # link: its gateway; c goes through ser2net
REQUEST_TIMEOUT = 30  # seconds; far beyond any wait below, so an early answer is not a timeout
BUFFER = 100          # frames a link keeps while the broker is away
FRAMES = 120


def base(link):
    return "korva/%s/%s" % (LINKS[link], link)


def body(index):
    """Bodies of 0 to 240 bytes, some with start and end bytes inside."""
    return bytes([frame.START, frame.END] * (index % 3)) + bytes((index * k) & 0xFF for k in range(index % 7 * 40))


def expected_json(decoded, seq):
    return {"transmitter_id": decoded.transmitter_id, "receiver_id": decoded.receiver_id,
            "message_type": frame.TYPE_NAMES[decoded.message_type], "message_id": decoded.message_id,
            "data": decoded.data.hex(), "status": decoded.status, "seq": seq, "direction": "in"}


@unittest.skipUnless(HAVE_BROKER and HAVE_SERVERS, "mosquitto, paho-mqtt, socat or ser2net is not installed")
class FleetTest(unittest.TestCase):
    def setUp(self):
        self.broker = started_broker(self)
        ptys = {link: socat_ptys(self) for link in ("a", "b")}
        self.rig = Rig().__enter__()
        self.addCleanup(self.rig.__exit__)
        self.peers = {"a": Peer(ptys["a"].b, PEER), "b": Peer(ptys["b"].b, PEER), "c": Peer(self.rig.tty, PEER)}
        self.targets = {"a": ptys["a"].a, "b": ptys["b"].a, "c": self.rig.url}
        for peer in self.peers.values():
            self.addCleanup(peer.node.close)
        options = ("--stats-interval", "0.2", "--request-timeout", str(REQUEST_TIMEOUT), "--buffer", str(BUFFER))
        self.gateways = [GatewayProcess(self.broker, "gw1", {"a": self.targets["a"], "b": self.targets["b"]}, *options),
                         GatewayProcess(self.broker, "gw2", {"c": self.targets["c"]}, *options)]
        for gateway in self.gateways:
            gateway.start()
            self.addCleanup(gateway.stop)
        self.viewer = self.client("viewer", "korva/+/+/status", "korva/+/+/stats")
        self.assertTrue(self.viewer.wait_for(lambda: all(self.status(link) == b"up" for link in LINKS)),
                        self.gateway_errors())

    def client(self, user, *topics):
        return subscribed(self, self.broker, user, *topics)

    def gateway_errors(self):
        return "; ".join("%s: %s" % (gateway.name, process_errors(gateway)) for gateway in self.gateways)

    def status(self, link, client=None):
        messages = (client or self.viewer).on(base(link) + "/status")
        return messages[-1].payload if messages else None

    def stats(self, link, client=None):
        messages = (client or self.viewer).on(base(link) + "/stats")
        return json.loads(messages[-1].payload) if messages else None

    def wait_for_stats(self, link, condition, client=None):
        client = client or self.viewer
        return client.wait_for(lambda: self.stats(link, client) is not None and condition(self.stats(link, client)))

    def frames(self, link, client=None):
        return [(message.topic, json.loads(message.payload)) for message in (client or self.viewer).on(
            base(link) + "/frame/")]

    def test_every_frame_on_each_line_arrives_once_in_order_with_its_json(self):
        self.viewer.subscribe("korva/+/+/frame/#")
        sent = {link: [] for link in LINKS}
        started = time.time()
        for index in range(FRAMES):
            for link, peer in self.peers.items():
                decoded = frame.Frame(PEER, (GATEWAY, 2, 7, frame.PUBLIC_ID)[index // 4 % 4], index % 4, index % 60,
                                      body(index), "ok")
                self.assertEqual(peer.node.send(decoded.message_type, decoded.receiver_id, decoded.message_id,
                                                decoded.data), SUCCESS)
                sent[link].append(decoded)
        damaged = bytearray(frame.encode(PEER, 9, frame.INDICATE, 33, b"\x01\x02"))
        damaged[-2] ^= 0xFF
        for link, peer in self.peers.items():
            peer.inject(damaged)
            sent[link].append(frame.decode(damaged))

        for link in LINKS:
            with self.subTest(link=link):
                self.assertTrue(self.wait_for_stats(link, lambda stats: stats["gateway"]["published"] == FRAMES + 1),
                                self.stats(link))
                # Frames travel on the gateway's own connection, the link's
                # statistics on the link's: either may arrive first.
                self.assertTrue(self.viewer.wait_for(lambda: len(self.frames(link)) >= len(sent[link])))
                received = self.frames(link)
                self.assertEqual([topic for topic, _ in received],
                                 ["%s/frame/%d/%d/%s/%d" % (base(link), f.transmitter_id, f.receiver_id,
                                                            frame.TYPE_NAMES[f.message_type], f.message_id)
                                  for f in sent[link]])
                self.assertEqual([{key: value for key, value in document.items() if key != "ts"}
                                  for _, document in received],
                                 [expected_json(f, seq) for seq, f in enumerate(sent[link])])
                times = [document["ts"] for _, document in received]
                self.assertEqual(times, sorted(times))
                self.assertTrue(started - 1 <= times[0] and times[-1] <= time.time(), (started, times[0], times[-1]))
                self.assertEqual(received[-1][1]["status"], "crc_error")

    def test_state_is_retained(self):
        late = self.client("viewer", "korva/+/+/status", "korva/+/+/info", "korva/+/+/stats")
        for link in LINKS:
            with self.subTest(link=link):
                self.assertTrue(late.wait_for(lambda: late.on(base(link) + "/info") and late.on(base(link) + "/stats")))
                status, info = late.on(base(link) + "/status")[0], late.on(base(link) + "/info")[0]
                self.assertEqual((status.payload, status.retain, info.retain), (b"up", True, True))
                self.assertEqual(json.loads(info.payload),
                                 {"node_id": GATEWAY, "target": self.targets[link], "engine_version": 100004})
                stats = self.stats(link, late)
                self.assertEqual((stats["gateway"]["line_up"], stats["drops"]), (True, 0))

    def test_sends_and_requests_reach_the_right_node_and_return(self):
        operator = self.client("operator", "korva-reply/operator/#")
        engineer = self.client("engineer", "korva-reply/engineer/#")
        operator.publish(base("a") + "/send/3/write/5", b'{"data": "0102"}')
        operator.publish(base("c") + "/send/3/write/5", b"\x07\x08")
        for link, data in (("a", b"\x01\x02"), ("c", b"\x07\x08")):
            self.assertTrue(wait_until(lambda: self.peers[link].received, WAIT))
            self.assertEqual(self.peers[link].received, [korva.Message(GATEWAY, PEER, frame.WRITE, 5, data, SUCCESS)])
        self.assertEqual(self.peers["b"].received, [])

        cases = ((operator, "b", 9, b'{"data": "010203"}', "030201"),
                 (operator, "a", 63, b"", "a4860100"),  # answered by the peer's engine: its version
                 (engineer, "c", 9, b"\xaa\xbb", "bbaa"))
        for index, (client, link, message_id, payload, data) in enumerate(cases):
            with self.subTest(link=link, message_id=message_id):
                correlation = b"corr-%d" % index
                reply_topic = "korva-reply/%s/%d" % ("operator" if client is operator else "engineer", index)
                answer = client.request("%s/send/3/request/%d" % (base(link), message_id), payload, reply_topic,
                                        correlation)
                self.assertIsNotNone(answer)
                self.assertEqual((korva_status(answer), answer.properties.CorrelationData), ("ok", correlation))
                self.assertEqual(json.loads(answer.payload),
                                 {"transmitter_id": PEER, "receiver_id": GATEWAY, "message_type": "response",
                                  "message_id": message_id, "data": data, "status": "ok"})

    def test_a_request_waits_no_longer_than_it_lives(self):
        engineer = self.client("engineer", "korva-reply/engineer/#")
        answer = engineer.request(base("a") + "/send/7/request/9", b"", "korva-reply/engineer/x", b"7", expiry=1)
        self.assertIsNotNone(answer, "no answer within %g s although the request lived 1 s" % WAIT)
        self.assertEqual((korva_status(answer), answer.properties.CorrelationData), ("timeout", b"7"))

    def test_commands_the_access_list_denies_never_reach_the_line(self):
        operator, viewer = self.client("operator", "korva-reply/operator/#"), self.client("viewer")
        intruder = self.client("gw2")
        watcher = self.client("viewer", "korva/gw1/#")
        operator.publish(base("a") + "/send/3/write/6", b"\x01")          # an id it may not send
        operator.publish(base("a") + "/send/4/write/5", b"\x02")          # a node it may not address
        operator.request(base("c") + "/send/3/request/9", b"\x03", "korva-reply/operator/d", b"d", timeout=1)
        viewer.publish(base("a") + "/send/3/write/5", b"\x04")            # a viewer only reads
        intruder.publish(base("a") + "/send/3/write/5", b"\x05")          # another gateway's commands
        intruder.publish(base("a") + "/frame/3/1/write/5", b"{}")         # another gateway's tree
        intruder.publish(base("a") + "/status", b"down")
        operator.publish(base("a") + "/send/3/write/5", b"\xff")          # allowed: marks the end
        self.assertTrue(wait_until(lambda: self.peers["a"].received, WAIT))
        self.assertTrue(self.wait_for_stats("a", lambda stats: stats["gateway"]["answers"] == {"ok": 1}),
                        self.stats("a"))
        self.assertEqual(self.peers["a"].received, [korva.Message(GATEWAY, PEER, frame.WRITE, 5, b"\xff", SUCCESS)])
        self.assertEqual((self.peers["c"].received, operator.on("korva-reply/")), ([], []))
        self.assertEqual([message.payload for message in watcher.on(base("a") + "/status")], [b"up"])
        self.assertTrue(watcher.wait_for(lambda: watcher.on(base("a") + "/frame/")))
        self.assertEqual([(message.topic, json.loads(message.payload)["direction"])
                          for message in watcher.on(base("a") + "/frame/")],
                         [(base("a") + "/frame/1/3/write/5", "out")])  # the one command let through

    def test_malformed_commands_are_answered_bad_request(self):
        engineer = self.client("engineer", "korva-reply/engineer/#")
        cases = (("send/3/request", b""), ("send/3/request/9/x", b""), ("send/16/request/9", b""),
                 ("send/3/ask/9", b""), ("send/3/request/64", b""), ("send/03/request/9", b""),
                 ("send/3/request/9", b'{"data": "zz"}'), ("send/3/request/9", b'{"data": 1}'),
                 ("send/3/write/9", b'{"colour": "red"}'), ("send/3/write/9", bytes(256)))
        for index, (tail, payload) in enumerate(cases):
            with self.subTest(topic=tail, payload=payload[:20]):
                correlation = b"bad-%d" % index
                answer = engineer.request("%s/%s" % (base("a"), tail), payload, "korva-reply/engineer/%d" % index,
                                          correlation)
                self.assertIsNotNone(answer)
                self.assertEqual((korva_status(answer), answer.properties.CorrelationData),
                                 ("bad_request", correlation))
                self.assertIn("error", json.loads(answer.payload))
        engineer.publish(base("a") + "/send/3/write", b"")  # no response topic: counted, not answered
        self.assertTrue(self.wait_for_stats("a", lambda stats: stats["gateway"]["answers"] == {
            "bad_request": len(cases) + 1}), self.stats("a"))
        self.assertEqual(self.peers["a"].received, [])
        answer = engineer.request(base("a") + "/send/3/request/9", b"\x01\x02", "korva-reply/engineer/good", b"g")
        self.assertEqual(korva_status(answer), "ok")

    def test_a_cut_link_is_down_and_answers_link_down_at_once(self):
        engineer = self.client("engineer", "korva-reply/engineer/#")
        self.rig.ser2net.stop(signal.SIGKILL)
        self.assertTrue(self.viewer.wait_for(lambda: self.status("c") == b"down"))
        self.assertTrue(self.wait_for_stats("c", lambda stats: not stats["gateway"]["line_up"]))
        for index, tail in enumerate(("send/3/request/9", "send/3/write/5")):
            with self.subTest(command=tail):
                answer = engineer.request("%s/%s" % (base("c"), tail), b"\x01", "korva-reply/engineer/%d" % index,
                                          b"%d" % index)
                self.assertIsNotNone(answer, "no answer within %g s; requests wait %d s" % (WAIT, REQUEST_TIMEOUT))
                self.assertEqual(korva_status(answer), "link_down")
        self.assertEqual(self.status("a"), b"up")

        self.rig.ser2net.start()
        self.assertTrue(self.viewer.wait_for(lambda: self.status("c") == b"up"))
        answer = engineer.request(base("c") + "/send/3/request/9", b"\x01\x02", "korva-reply/engineer/up", b"u")
        self.assertEqual((korva_status(answer), json.loads(answer.payload)["data"]), ("ok", "0201"))
        self.assertEqual([message.payload for message in self.viewer.on(base("c") + "/status")],
                         [b"up", b"down", b"up"])

    def test_a_broker_restart_replays_the_buffer_and_gaps_equal_the_drops(self):
        first, total = 300, 1500
        before = self.client("viewer", base("a") + "/stats")
        before.subscribe(base("a") + "/frame/#", qos=0)
        self.send_paced(self.peers["a"], range(first))
        # Nothing in flight when the broker dies, so that every frame the
        # subscriber misses is one the gateway counted.
        self.assertTrue(self.wait_for_stats("a", lambda stats: stats["gateway"]["frames"] == first
                                            and stats["gateway"]["in_flight"] == 0, before), self.stats("a", before))
        sender = threading.Thread(target=self.send_paced, args=(self.peers["a"], range(first, total)))
        sender.start()
        self.addCleanup(sender.join)

        self.broker.stop(signal.SIGKILL)
        before.close()
        self.viewer.close()
        # Back without the gateways' logins, so that the new subscriber is in
        # place before they reconnect and replay.
        self.broker.set_users(("viewer", "operator", "engineer"))
        time.sleep(1.0)  # an outage long enough for the buffer to overflow
        self.broker.start()
        after = self.client("viewer", base("a") + "/#")
        self.broker.set_users(tuple(PASSWORDS))
        sender.join(60)
        self.assertFalse(sender.is_alive())

        self.assertTrue(self.wait_for_stats("a", lambda stats: stats["gateway"]["frames"] == total
                                            and stats["gateway"]["buffered"] == 0, after), self.stats("a", after))
        self.assertTrue(after.wait_for(lambda: self.status("a", after) == b"up" and after.on(base("a") + "/info")))
        self.assertTrue(after.wait_for(lambda: self.frames("a", after)[-1:] and
                                       self.frames("a", after)[-1][1]["seq"] == total - 1))
        stats = self.stats("a", after)["gateway"]
        seqs_before = [document["seq"] for _, document in self.frames("a", before)]
        seqs_after = [document["seq"] for _, document in self.frames("a", after)]
        self.assertEqual(seqs_before[:first], list(range(first)))
        self.assertEqual(seqs_after, sorted(set(seqs_after)))
        self.assertEqual(seqs_after[-1], total - 1)
        self.assertGreater(stats["dropped"], 0)
        self.assertGreaterEqual(stats["broker_connections"], 2)
        missing = sorted(set(range(total)) - set(seqs_before) - set(seqs_after))
        self.assertEqual(len(missing), stats["dropped"], missing[:10])
        self.assertEqual(missing, list(range(missing[0], missing[0] + len(missing))))

    def send_paced(self, peer, indexes):
        for index in indexes:
            self.assertEqual(peer.node.send(frame.INDICATE, frame.PUBLIC_ID, index % 60, index.to_bytes(2, "big")),
                             SUCCESS)
            time.sleep(0.002)

    def test_a_stopped_gateway_leaves_offline_behind(self):
        self.assertEqual(self.gateways[1].stop(signal.SIGINT), 0)  # Ctrl-C ends it as SIGTERM does
        self.assertTrue(self.viewer.wait_for(lambda: self.status("c") == b"offline"))
        self.assertEqual(self.status("a"), b"up")
        self.gateways[0].stop(signal.SIGKILL)  # no goodbye: the broker sends the wills
        self.assertTrue(self.viewer.wait_for(lambda: self.status("a") == self.status("b") == b"offline", 30))


if __name__ == "__main__":
    unittest.main()
