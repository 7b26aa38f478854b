"""One link's MQTT v5 connection to the broker, kept up by itself.

Each connection starts a new session: a connection that was lost is
dropped with whatever it still held, so that the gateway's own buffer is
the one place frames wait for the broker. The session reconnects with the
same doubling delay as a line, an attempt lasting until the broker took
the login (a broker that closes or refuses every login is not asked again
at once), and says once why it cannot connect, until the reason changes
or it is in. The gateway's loop (`korva.gateway.loop`) carries each
connection's traffic.
"""

import sys
import threading

from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

from .. import broker_url
from ..reconnect import Reconnector
from . import packets
from .connection import Connection

__all__ = ["CONNECT_WAIT", "LOGIN_WAIT", "BrokerSession", "reply_properties"]

CONNECT_WAIT = 5.0    # seconds the broker may take to take the connection, and its TLS handshake
LOGIN_WAIT = 10.0     # seconds the broker may take to answer the login
_GOODBYE_WAIT = 2.0   # seconds the goodbye may take to be written


def reply_properties(correlation, user_properties):
    """The publish properties of an answer: the request's correlation data
    (None: it had none) and (name, value) user properties."""
    properties = Properties(PacketTypes.PUBLISH)
    if correlation is not None:
        properties.CorrelationData = correlation
    properties.UserProperty = list(user_properties)
    return properties


class BrokerSession:
    """A connection to `broker` (a `korva.broker_url.Broker`) as MQTT user
    `user`, under `client_id`, whose will publishes `will` retained on
    `will_topic` (None: it has no will), its traffic carried by `loop` (a
    `korva.gateway.loop.Loop`).

    `on_connected(session)` runs on the loop's thread once the broker has
    accepted a connection (republish state, subscribe, replay frames);
    `on_lost()` when it is gone; `on_message(message)` (a
    `korva.gateway.packets.Message`) for every message that arrives on the
    subscriptions."""

    def __init__(self, loop, broker, user, password, client_id, will_topic, will, on_connected, on_lost, on_message):
        self._loop = loop
        self._broker = broker
        self._login = (client_id, user, password, will_topic, will)
        self._client_id = client_id
        self._will_topic = will_topic
        self._on_connected = on_connected
        self._on_lost = on_lost
        self._on_message = on_message
        self._lock = threading.Lock()
        self._connection = None
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

    def publish(self, topic, payload, qos=0, retain=False, properties=None, on_acknowledged=None):
        """Queue a message for the broker; its packet id, or None while the
        broker is away (nothing was queued for later). At QoS 1,
        `on_acknowledged(mid)` (unless None) runs on the loop's thread once
        the broker took it."""
        connection = self._connection
        if connection is None or not self._connected:
            return None
        mid = connection.publish(topic, payload, qos, retain, properties, on_acknowledged)
        if mid is not None:
            self._loop.to_write(connection)
        return mid

    def subscribe(self, topic, qos=1):
        """Subscribe on the current connection (from `on_connected`)."""
        self._connection.subscribe(topic, qos)
        self._loop.to_write(self._connection)

    def stop(self, last_status=None):
        """Publish `last_status` (unless None) retained on the will's topic
        (the broker sends no will after a clean goodbye), disconnect and stop
        reconnecting."""
        with self._lock:
            self._stopping = True
        self._settled.set()  # an attempt waiting for the login gives up
        self._reconnector.stop()
        connection, self._connection = self._connection, None
        if connection is None:
            return
        if self._connected and last_status is not None:
            connection.publish(self._will_topic, last_status, 1, True)  # the goodbye goes out after it
        self._let_go(connection)

    def _connect(self):
        """One connection attempt, until the broker took the login; OSError
        when it could not be reached or did not take it."""
        self._connection = None
        connections = self.connections
        self._answered = False
        self._closed.clear()
        self._settled.clear()
        try:
            sock = broker_url.open_socket(self._broker, CONNECT_WAIT)
        except OSError as error:
            self._say(broker_url.why(error, self._broker))
            raise
        connection = Connection(sock, *self._login, on_answer=self._answered_login, on_message=self._on_message)
        with self._lock:
            if self._stopping:
                connection.close()
                return
            self._connection = connection
            self._loop.watch(connection, self._lost)
        if not self._settled.wait(LOGIN_WAIT):
            self._settled.set()
            self._say(broker_url.why_unanswered(self._broker, LOGIN_WAIT))
            self._let_go(connection)
        if self.connections == connections and not self._stopping:
            raise ConnectionError("the broker did not take the login")

    def _let_go(self, connection):
        """Say goodbye on `connection`, and stop driving it once the goodbye
        is written (or a while: then the broker publishes the will)."""
        connection.say_goodbye()
        self._loop.to_write(connection)
        self._closed.wait(_GOODBYE_WAIT)
        self._loop.forget(connection)

    def _answered_login(self, reason, _properties):
        self._answered = True
        if reason != 0:
            self._say("refused by the broker: %s" % packets.refusal(reason))
            return  # the broker closes the connection; the session tries again
        self._said = None
        self.connections += 1
        self._connected = True
        self._settled.set()
        self._on_connected(self)

    def _lost(self, error):
        """The connection ended: with an OSError, or None when the broker
        closed it or it said goodbye."""
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
