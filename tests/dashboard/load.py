"""A fleet's worth of traffic for the dashboard, without the fleet: for each
gateway named, LINKS links whose retained status, info and stats and whose
frames it publishes straight to the broker, with the gateway's own topics
and payloads, RATE frames per second per link (each an indicate from node
3 to node 14, its body a 4-byte counter, numbered in seq like a gateway's).

It logs in as each gateway (user = gateway name, one password for all),
publishes the links' state and reads commands on stdin, one a line:
    start                    start sending frames
    mark GATEWAY/LINK TEXT   publish a frame on that link whose body is TEXT
    stop                     stop sending frames
After "stop" it waits until the broker has taken every frame, prints how
many it published and in what time, and ends.

usage: load.py BROKER_PORT PASSWORD LINKS RATE GATEWAY...
"""

import queue
import sys
import threading
import time

import paho.mqtt.client as mqtt

from korva import frame
from korva.gateway import payloads
from korva.gateway.topics import LinkTopics
from korva.wire import Event

PEER_ID = 3
GATEWAY_ID = 14
TICK_ID = 5
MARK_ID = 6
QOS = 1
IN_FLIGHT = 1000  # QoS 1 messages unacknowledged: the broker, not the window, sets the pace
TICK = 0.01  # seconds between bursts of due frames
ACKNOWLEDGED = 10  # seconds the broker has to take the last frames
ENGINE_VERSION = 100004


class Link:
    """One link's topics and its next seq."""

    def __init__(self, client, gateway, name):
        self.client = client
        self.key = "%s/%s" % (gateway, name)
        self.topics = LinkTopics(gateway, name)
        self.seq = 0
        self.last = None  # the last frame's publish

    def publish_state(self):
        self.client.publish(self.topics.status, b"up", QOS, True)
        self.client.publish(self.topics.info, payloads.info_payload(GATEWAY_ID, "/dev/ttyS%s" % self.key[-2:],
                                                                    ENGINE_VERSION), QOS, True)
        self.client.publish(self.topics.stats, payloads.stats_payload({"frames": 0, "gateway": {"line_up": True}}),
                            QOS, True)

    def publish_frame(self, message_type, message_id, body):
        """Publishes a frame; its time, as in its `ts`."""
        decoded = frame.Frame(PEER_ID, GATEWAY_ID, message_type, message_id, body, "ok")
        event = Event(time.time(), b"", decoded)
        self.last = self.client.publish(self.topics.frame(decoded), payloads.frame_payload(event, self.seq), QOS)
        self.seq += 1
        return event.time


def connect(port, gateway, password):
    client = mqtt.Client("load-" + gateway, protocol=mqtt.MQTTv5)
    client.username_pw_set(gateway, password)
    client.max_inflight_messages_set(IN_FLIGHT)
    client.max_queued_messages_set(0)
    connected = threading.Event()
    client.on_connect = lambda *args: connected.set()
    client.connect("127.0.0.1", port)
    client.loop_start()
    if not connected.wait(10):
        sys.exit("load: no connection to the broker on port %d as %s" % (port, gateway))
    return client


def read_commands(commands):
    for line in sys.stdin:
        commands.put(line.split(maxsplit=2))


def main(port, password, links_each, rate, *gateways):
    clients = [connect(int(port), gateway, password) for gateway in gateways]
    links = [Link(client, gateway, "l%d" % number) for client, gateway in zip(clients, gateways)
             for number in range(int(links_each))]
    by_key = {link.key: link for link in links}
    for link in links:
        link.publish_state()
    commands = queue.Queue()
    threading.Thread(target=read_commands, args=(commands,), daemon=True).start()
    print("load: %d links at %s frames/s each, ready" % (len(links), rate), flush=True)
    while commands.get()[0] != "start":
        pass
    interval = 1.0 / (float(rate) * len(links))
    started = time.monotonic()
    ticks = marks = 0
    while True:
        due = int((time.monotonic() - started) / interval)
        for _ in range(ticks, due):
            links[ticks % len(links)].publish_frame(frame.INDICATE, TICK_ID, (ticks // len(links)).to_bytes(4, "big"))
            ticks += 1
        try:
            command = commands.get(timeout=TICK)
        except queue.Empty:
            continue
        if command[0] == "stop":
            break
        _, key, text = command
        when = by_key[key].publish_frame(frame.WRITE, MARK_ID, text.strip().encode())
        marks += 1
        print("marked %s at %.6f" % (text.strip(), when), flush=True)
    elapsed = time.monotonic() - started
    for link in links:  # the broker acknowledges each client's frames in order
        link.last.wait_for_publish(ACKNOWLEDGED)
    print("load: %d frames in %.3f s" % (ticks + marks, elapsed), flush=True)
    for client in clients:
        client.disconnect()
        client.loop_stop()


if __name__ == "__main__":
    main(*sys.argv[1:])
