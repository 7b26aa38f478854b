"""`korva fleet`'s MQTT v5 connection: logged in or a one-line reason why
not, every wait bounded, messages handed over in the order they came."""

import os
import queue
import threading
import time

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

from . import broker_url
from .fleet import EXIT_BROKER, EXIT_ERROR, FleetError
from .gateway.commands import STATUS_PROPERTY

__all__ = ["CONNECT_WAIT", "FleetClient"]

CONNECT_WAIT = 10.0   # seconds the broker may take to answer the connection, a subscription or a publish
_KEEPALIVE = 30
_REPLY_ROOT = "korva-reply"   # gateways answer there; each user reads only its own part of it


class FleetClient:
    """A connection to `broker` (a `korva.broker_url.Broker`) as `user`
    (None: none) with `password`; `close` when done."""

    def __init__(self, broker, user, password):
        self._broker = broker
        self.user = user
        self.client_id = "korva-fleet-%d-%s" % (os.getpid(), os.urandom(4).hex())
        self.messages = queue.Queue()
        self._events = threading.Condition()
        self._answered = None   # the CONNACK's reason code, once it came
        self._closed = False
        self._error = None       # an OSError that ended the connection
        self._network = None
        self._acknowledged = {}  # packet id: granted QoS or reason codes, as the broker answered
        client = mqtt.Client(self.client_id, protocol=mqtt.MQTTv5, reconnect_on_failure=False)
        if user is not None:
            client.username_pw_set(user, password)
        broker_url.set_up(client, broker)
        client.on_connect = self._connect_answered
        client.on_disconnect = self._disconnected
        client.on_subscribe = lambda _client, _userdata, mid, codes, _properties: self._acknowledge(mid, codes)
        client.on_message = lambda _client, _userdata, message: self.messages.put(message)
        self._client = client

    def connect(self):
        """Log in; FleetError (EXIT_BROKER) saying why not."""
        try:
            self._client.connect(self._broker.host, self._broker.port, keepalive=_KEEPALIVE, clean_start=True)
        except OSError as error:
            raise FleetError(EXIT_BROKER, broker_url.why(error, self._broker)) from None
        self._network = broker_url.run_network(self._client, "korva fleet", self._lost)
        if not self._wait(lambda: self._answered is not None or self._closed):
            raise FleetError(EXIT_BROKER, broker_url.why_unanswered(self._broker, CONNECT_WAIT))
        if self._error is not None:
            raise FleetError(EXIT_BROKER, broker_url.why(self._error, self._broker))
        if self._answered is None:
            raise FleetError(EXIT_BROKER, broker_url.why_closed(self._broker))
        if self._answered != 0:
            raise FleetError(EXIT_BROKER, "%s refused the login: %s" % (self._broker.url, self._answered))

    def subscribe(self, *filters):
        """Subscribe at QoS 1 and wait until the broker took every filter."""
        _, mid = self._client.subscribe([(topic, 1) for topic in filters])
        if not self._wait(lambda: mid in self._acknowledged or self._closed) or self._closed:
            raise FleetError(EXIT_BROKER, "%s did not take the subscription to %s" % (self._broker.url,
                                                                                    ", ".join(filters)))
        for topic, code in zip(filters, self._acknowledged.pop(mid)):
            if code.value >= 0x80:
                raise FleetError(EXIT_ERROR, "%s refused the subscription to %s: %s" % (self._broker.url, topic,
                                                                                          code))

    def reply_topic(self):
        """Where this client's answers come: under its user's part of the
        reply tree, which gateways may write and only that user read."""
        return "/".join((_REPLY_ROOT, self.user or "anonymous", self.client_id))

    def request(self, topic, payload, expiry):
        """Publish a command at QoS 1 whose answer comes on `reply_topic()`
        (subscribed already) with fresh correlation data, living `expiry`
        whole seconds; the correlation data."""
        correlation = os.urandom(8)
        properties = Properties(PacketTypes.PUBLISH)
        properties.ResponseTopic = self.reply_topic()
        properties.CorrelationData = correlation
        properties.MessageExpiryInterval = expiry
        info = self._client.publish(topic, payload, 1, False, properties)
        info.wait_for_publish(CONNECT_WAIT)
        if not info.is_published():
            raise FleetError(EXIT_BROKER, "%s did not take the command in %g s" % (self._broker.url, CONNECT_WAIT))
        return correlation

    def answer(self, correlation, timeout):
        """(korva-status, payload) of the answer with `correlation`, or None
        if it did not come within `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while True:
            message = self.next_message(deadline - time.monotonic())
            if message is None:
                return None
            if getattr(message.properties, "CorrelationData", None) == correlation:
                status = dict(getattr(message.properties, "UserProperty", [])).get(STATUS_PROPERTY)
                return status, message.payload

    def next_message(self, timeout):
        """The next message received, or None after `timeout` seconds; a
        lost connection is FleetError (EXIT_BROKER)."""
        try:
            return self.messages.get(timeout=max(timeout, 0))
        except queue.Empty:
            if self._closed:
                raise FleetError(EXIT_BROKER, "%s closed the connection" % self._broker.url) from None
            return None

    def close(self):
        """Log out and stop the client's thread."""
        self._client.disconnect()
        if self._network is not None:
            self._network.join(CONNECT_WAIT)

    def _wait(self, condition):
        with self._events:
            return self._events.wait_for(condition, CONNECT_WAIT)

    def _connect_answered(self, _client, _userdata, _flags, reason, _properties):
        with self._events:
            self._answered = reason
            self._events.notify_all()

    def _disconnected(self, _client, _userdata, _reason, _properties=None):
        self._lost(None)

    def _lost(self, error):
        with self._events:
            self._error = error
            self._closed = True
            self._events.notify_all()

    def _acknowledge(self, mid, codes):
        with self._events:
            self._acknowledged[mid] = codes
            self._events.notify_all()
