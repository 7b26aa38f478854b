"""One link's MQTT v5 connection to the broker, kept up by itself.

Each connection is a new paho client: a client that lost its connection is
dropped with whatever it still held, so that the gateway's own buffer is
the one place frames wait for the broker (paho would otherwise resend its
unacknowledged messages after ours, out of order, and hold them without
bound). The session reconnects with the same doubling delay as a line,
an attempt lasting until the broker took the login (a broker that closes
or refuses every login is not asked again at once), and says once why it
cannot connect, until the reason changes or it is in.
The gateway's loop (`korva.gateway.loop`) carries each connection's
traffic.
"""

import sys
import threading

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

from .. import broker_url
from ..reconnect import Reconnector

__all__ = ["IN_FLIGHT", "KEEPALIVE", "LOGIN_WAIT", "BrokerSession", "reply_properties"]

KEEPALIVE = 10        # seconds between pings on a quiet connection
LOGIN_WAIT = 10.0     # seconds the broker may take to answer the login
IN_FLIGHT = 100       # QoS 1 messages unacknowledged at most
_GOODBYE_WAIT = 2.0   # seconds the last status may take to reach the broker


def reply_properties(correlation, user_properties):
    """The publish properties of an answer: the request's correlation data
    (None: it had none) and (name, value) user properties."""
    properties = Properties(PacketTypes.PUBLISH)
    if correlation is not None:
        properties.CorrelationData = correlation
    properties.UserProperty = list(user_properties)
    return properties


class BrokerSession:
    """A link's connection to `broker` (a `korva.broker_url.Broker`) as MQTT user
    `user`, under `client_id`, whose will publishes `will` retained on
    `will_topic`, its traffic carried by `loop` (a `korva.gateway.loop.Loop`).

    `on_connected(session)` runs on the client's thread once the broker has
    accepted a connection (republish state, subscribe, replay frames);
    `on_lost()` when it is gone; `on_message(message)` for every message
    that arrives on the subscriptions; `on_acknowledged(mid)` when the
    broker has taken the QoS 1 message with packet id `mid` (on the client's
    thread, with the client's locks held: it must not wait for anything)."""

    def __init__(self, loop, broker, user, password, client_id, will_topic, will, on_connected, on_lost, on_message,
                 on_acknowledged):
        self._loop = loop
        self._broker = broker
        self._credentials = (user, password)
        self._client_id = client_id
        self._will = (will_topic, will)
        self._on_connected = on_connected
        self._on_lost = on_lost
        self._on_message = on_message
        self._on_acknowledged = on_acknowledged
        self._lock = threading.Lock()
        self._client = None
        self._closed = threading.Event()  # the current connection has ended
        self._settled = threading.Event()  # the current attempt is in, out, or given up
        self._connected = False
        self._stopping = False
        self._reconnector = Reconnector(self._connect, lambda: None)
        self._said = None  # why the last attempt failed, as last written
        self._answered = False  # the broker answered this connection's login
        self.connections = 0

    def start(self):
        """Connect in the background, and again whenever the connection is lost."""
        self._reconnector.start()

    def publish(self, topic, payload, qos=0, retain=False, properties=None):
        """Hand a message to the client; its packet id, or None while the
        broker is away (nothing was queued for later)."""
        client = self._client
        if client is None or not self._connected:
            return None
        info = client.publish(topic, payload, qos, retain, properties)
        if info.rc != mqtt.MQTT_ERR_SUCCESS:
            return None
        self._loop.to_write(client)
        return info.mid

    def subscribe(self, topic, qos=1):
        """Subscribe on the current connection (from `on_connected`)."""
        self._client.subscribe(topic, qos)
        self._loop.to_write(self._client)

    def stop(self, last_status):
        """Publish `last_status` retained on the will's topic (the broker sends
        no will after a clean goodbye), disconnect and stop reconnecting."""
        with self._lock:
            self._stopping = True
        self._settled.set()  # an attempt waiting for the login gives up
        self._reconnector.stop()
        client, self._client = self._client, None
        if client is None:
            return
        if self._connected:
            goodbye = client.publish(self._will[0], last_status, 1, True)
            if goodbye.rc == mqtt.MQTT_ERR_SUCCESS:
                self._loop.to_write(client)
                goodbye.wait_for_publish(_GOODBYE_WAIT)
        self._let_go(client)

    def _connect(self):
        """One connection attempt, until the broker took the login; OSError
        when it could not be reached or did not take it."""
        self._client = None
        client = self._new_client()
        connections = self.connections
        self._answered = False
        self._closed.clear()
        self._settled.clear()
        try:
            client.connect(self._broker.host, self._broker.port, keepalive=KEEPALIVE, clean_start=True)
        except OSError as error:
            self._say(broker_url.why(error, self._broker))
            raise
        with self._lock:
            if self._stopping:
                client.disconnect()
                return
            self._client = client
            self._loop.watch(client, self._lost)
        if not self._settled.wait(LOGIN_WAIT):
            self._settled.set()
            self._say(broker_url.why_unanswered(self._broker, LOGIN_WAIT))
            self._let_go(client)
        if self.connections == connections and not self._stopping:
            raise ConnectionError("the broker did not take the login")

    def _let_go(self, client):
        """Log `client` out, and stop driving it once the broker closed (or a while)."""
        client.disconnect()
        self._loop.to_write(client)
        self._closed.wait(_GOODBYE_WAIT)  # the loop sends the goodbye and sees the broker close
        self._loop.forget(client)

    def _new_client(self):
        client = mqtt.Client(self._client_id, protocol=mqtt.MQTTv5, reconnect_on_failure=False)
        client.username_pw_set(*self._credentials)
        broker_url.set_up(client, self._broker)
        client.will_set(self._will[0], self._will[1], 1, True)
        client.on_connect = self._connect_answered
        client.on_disconnect = self._disconnected
        client.on_message = lambda _client, _userdata, message: self._on_message(message)
        client.on_publish = lambda _client, _userdata, mid: self._on_acknowledged(mid)
        return client

    def _connect_answered(self, client, _userdata, _flags, reason, properties):
        self._answered = True
        if reason != 0:
            self._say("refused by the broker: %s" % reason)
            return  # the broker closes the connection; the session tries again
        self._said = None
        # As many QoS 1 messages in flight as the broker takes (mosquitto: its
        # max_inflight_messages), up to a window paho walks cheaply on every
        # acknowledgement.
        client.max_inflight_messages_set(min(getattr(properties, "ReceiveMaximum", IN_FLIGHT), IN_FLIGHT))
        self.connections += 1
        self._connected = True
        self._settled.set()
        self._on_connected(self)

    def _disconnected(self, _client, _userdata, _reason, _properties=None):
        self._lost(None)

    def _lost(self, error):
        """The connection ended, with an OSError paho let through (None: it said so)."""
        was_connected, self._connected = self._connected, False
        self._closed.set()
        if not was_connected:
            if not self._settled.is_set():  # an attempt given up or stopped needs no reason
                if error is not None:
                    self._say(broker_url.why(error, self._broker))
                elif not self._answered:
                    self._say(broker_url.why_closed(self._broker))
                self._settled.set()  # the attempt waiting for the login tries again later
            return
        self._on_lost()
        with self._lock:
            if not self._stopping:
                self._reconnector.start()

    def _say(self, reason):
        if reason != self._said:
            self._said = reason
            print("korva gateway: %s: %s" % (self._client_id, reason), file=sys.stderr, flush=True)
