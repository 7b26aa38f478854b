"""`korva gateway`: the links of one host served to an MQTT broker.

Each link has its node (the gateway's id on that line), its own MQTT v5
connection (so that its will says `offline` for it alone) and the topic
tree of `korva.gateway.topics`:

- every frame the line carries, whoever it is for and damaged ones too,
  and every frame the gateway's node sends, numbered together by `seq`,
  kept while the broker is away (`korva.gateway.stream`), their bodies
  decoded when the link has a schema. Every link's frames go on one more
  connection, the gateway's own, so that the frames of all its links that
  a pass of the loop brings go to the broker in one write, and its
  acknowledgements come back in one read, instead of one of each per
  frame;
- commands from the broker sent through the engine, requests answered on
  their Response Topic (`korva.gateway.commands`);
- retained `status` (`up`, `down`; `offline` when the gateway is gone),
  `info`, `schema` and `stats`, published again on every reconnection,
  `stats` also every `stats_interval` seconds.

One thread (`korva.gateway.loop`) reads every line and carries every
connection's traffic. Sends are carried out on it in the order they
arrive; requests wait for their replies on a few worker threads, so a slow
node holds up neither the connections nor the other commands.
"""

import collections
import concurrent.futures
import dataclasses
import threading
import time

from ..connect import open_node
from ..errors import KorvaError
from .commands import STATUS_PROPERTY, bad_request, parse_command, route_of, run
from .loop import Loop
from .payloads import OUT, info_payload, schema_payload, stats_payload
from .session import BrokerSession, reply_properties
from .stream import FrameStream
from .topics import ROOT, LinkTopics

__all__ = ["REQUEST_WORKERS", "Gateway", "LinkBridge"]

REQUEST_WORKERS = 4   # requests one link waits on at once
UP, DOWN, OFFLINE = b"up", b"down", b"offline"
_STATE_QOS = 1


def _published_already(_message_type, _status, _header):
    """Messages for the gateway's own id: their frames went out from on_frame."""


def _unasked(_message):
    """A message on a connection that subscribed to nothing."""


class LinkBridge:
    """One link of the gateway `config` (a GatewayConfig), `link` (a
    LinkConfig), between its line and the broker, served by `loop` (a
    `korva.gateway.loop.Loop`)."""

    def __init__(self, config, link, loop):
        self._loop = loop
        self.topics = LinkTopics(config.name, link.name)
        self.schema = link.schema
        self.stream = FrameStream(self.topics, config.qos, config.buffer, link.schema)
        self._request_timeout = config.request_timeout
        self._answers = collections.Counter()
        self._answers_lock = threading.Lock()
        self.node = open_node(link.target, link.node_id, baud=link.baud, reconnect=True)
        self._info = info_payload(link.node_id, link.target, self.node.GET_KORVA_VERSION(), link.schema)
        self.node.on_line_change = self._line_changed
        self.node.on_frame = self.stream.offer
        self.node.on_sent = lambda event: self.stream.offer(event, OUT)
        self.node.on_message = _published_already  # nothing would read them from the node's inbox
        self._requests = concurrent.futures.ThreadPoolExecutor(REQUEST_WORKERS, "korva gateway " + link.name)
        self.session = BrokerSession(
            loop, config.broker, config.name, config.password, self.topics.base, self.topics.status, OFFLINE,
            on_connected=self._connected, on_lost=lambda: None, on_message=self._command)

    def start(self):
        """Listen to the line and connect to the broker."""
        self._loop.add_node(self.node)
        self.session.start()

    def leave(self):
        """Leave `offline` behind and let go of the broker."""
        self.session.stop(OFFLINE)

    def close(self):
        """Let go of the line, once the loop no longer reads it."""
        self._requests.shutdown(wait=True)
        self.node.close()

    def stats(self):
        """The link's statistics and the gateway's counters for it, a dict."""
        with self._answers_lock:
            answers = dict(self._answers)
        return {**dataclasses.asdict(self.node.stats),
                "gateway": {"line_up": self.node.line_up, "frames": self.stream.next_seq,
                            "published": self.stream.published, "in_flight": self.stream.in_flight,
                            "buffered": self.stream.buffered,
                            "dropped": self.stream.dropped, "broker_connections": self.session.connections,
                            "answers": answers}}

    def publish_stats(self):
        """Publish the statistics (retained) if the broker is there."""
        self.session.publish(self.topics.stats, stats_payload(self.stats()), _STATE_QOS, True)

    def _connected(self, session):
        session.publish(self.topics.status, UP if self.node.line_up else DOWN, _STATE_QOS, True)
        session.publish(self.topics.info, self._info, _STATE_QOS, True)
        session.publish(self.topics.schema, schema_payload(self.schema), _STATE_QOS, True)
        self.publish_stats()
        session.subscribe(self.topics.commands)

    def _line_changed(self, up):
        if up:
            self._loop.wake()  # the line has a new descriptor
        self.session.publish(self.topics.status, UP if up else DOWN, _STATE_QOS, True)

    def _command(self, message):
        route = route_of(message.properties, self._request_timeout, time.monotonic())
        try:
            command = parse_command(self.topics, message.topic, message.payload, route, self.schema)
        except KorvaError as error:
            self._answer(route, bad_request(error))
            return
        if command.asks and self.node.line_up:
            self._requests.submit(self._carry_out, command)
        else:
            self._carry_out(command)

    def _carry_out(self, command):
        self._answer(command.route, run(self.node, command, lambda: self.node.line_up, self.schema))

    def _answer(self, route, answer):
        with self._answers_lock:
            self._answers[answer.status] += 1
        if route.response_topic is not None:
            self.session.publish(route.response_topic, answer.payload, _STATE_QOS, False,
                                 reply_properties(route.correlation, [(STATUS_PROPERTY, answer.status)]))


class Gateway:
    """Every link of `config` (a GatewayConfig), served until `stop`."""

    def __init__(self, config):
        self.config = config
        self.links = []
        self._loop = Loop(self._refresh_stats, config.stats_interval)
        try:
            for link in config.links:
                self.links.append(LinkBridge(config, link, self._loop))
        except BaseException:
            for bridge in self.links:
                bridge.node.close()
            raise
        self._frames = BrokerSession(self._loop, config.broker, config.name, config.password,
                                     "%s/%s" % (ROOT, config.name), None, None, on_connected=self._frames_connected,
                                     on_lost=self._frames_lost, on_message=_unasked)

    def start(self):
        """Serve every link, and refresh their statistics periodically."""
        self._loop.start()
        self._frames.start()
        for bridge in self.links:
            bridge.start()

    def stop(self):
        """Stop serving; every link's status is left `offline`."""
        for bridge in self.links:
            bridge.leave()
        self._frames.stop()
        self._loop.stop()
        for bridge in self.links:
            bridge.close()

    def _frames_connected(self, session):
        for bridge in self.links:
            bridge.stream.attach(session.publish)

    def _frames_lost(self):
        for bridge in self.links:
            bridge.stream.detach()

    def _refresh_stats(self):
        for bridge in self.links:
            bridge.stream.drain()  # frames a slow broker had no room for, on a line gone quiet
            bridge.publish_stats()
