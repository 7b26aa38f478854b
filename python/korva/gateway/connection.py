"""One MQTT v5 connection of the gateway, carried by its loop.

A general client builds an object per message, keeps a condition
variable for each one a caller might wait on, and writes and reads each
packet with calls of its own (three reads for a small acknowledgement).
At a frame per message that was most of the gateway's CPU. Here a publish
appends its packet's bytes to one outgoing buffer, each write sends all
that is buffered, each read takes all that arrived and handles every whole
packet in it, and an acknowledgement is a packet id and a callback.

QoS 1 messages beyond what the broker takes unacknowledged (its Receive
Maximum) wait here, in order, for acknowledgements to make room. A broker
that lets every packet id go unanswered acknowledges nothing any more: the
connection is given up, and its messages published again on the next.
"""

import collections
import socket
import ssl
import threading
import time

from . import packets

__all__ = ["KEEPALIVE", "Connection"]

KEEPALIVE = 10  # seconds between pings on a quiet connection
_READ_SIZE = 65536
_MID_COUNT = 65535  # packet ids run 1..65535
_WOULD_BLOCK = (BlockingIOError, ssl.SSLWantReadError, ssl.SSLWantWriteError)


class Connection:
    """An MQTT v5 session over `sock` (connected, non-blocking, TLS or not)
    that logs in as `client_id` with `user` and `password` (each None: none)
    and leaves `will` retained on `will_topic` (None: no will) if it ends
    without a goodbye.

    Its loop calls `read`, `write` and `check` on one thread; they return
    whether the connection is still open, and raise OSError when it failed.
    `publish`, `subscribe` and `say_goodbye` may be called on any thread.
    Callbacks run on the loop's thread, no lock of this object held:
    `on_answer(reason, properties)` once the broker answered the login,
    `on_message(message)` (a `packets.Message`) for what the subscriptions
    bring, and a QoS 1 message's own `on_acknowledged(mid)` when the broker
    took it.
    """

    def __init__(self, sock, client_id, user, password, will_topic, will, on_answer, on_message):
        self._sock = sock
        self._on_answer = on_answer
        self._on_message = on_message
        self._lock = threading.Lock()
        self._in = bytearray()
        self._out = bytearray(packets.connect(client_id, KEEPALIVE, user, password, will_topic, will))
        self._window = _MID_COUNT  # the broker's Receive Maximum, once it said
        self._unacknowledged = {}  # packet id sent or held, not yet answered: on_acknowledged (None: none)
        self._sent = 0  # of those, sent
        self._held = collections.deque()  # QoS 1 packets beyond the window, in order
        self._last_mid = 0
        self._last_out = time.monotonic()
        self._ping_since = None  # when an unanswered ping went out
        self._leaving = False  # nothing more is queued but the goodbye
        self._goodbye_queued = False
        self._stalled = False  # every packet id is in use

    def socket(self):
        """The socket, to wait on."""
        return self._sock

    def want_write(self):
        """Whether bytes wait to be written."""
        return bool(self._out)

    def publish(self, topic, payload, qos=0, retain=False, properties=None, on_acknowledged=None):
        """Queue a message; its packet id (0 at QoS 0), None once leaving or
        given up. At QoS 1, `on_acknowledged(mid)` (unless None) once the
        broker took it."""
        with self._lock:
            if self._leaving or self._stalled:
                return None
            if not qos:
                self._out += packets.publish(topic, payload, 0, retain, 0, properties)
                return 0
            mid = self._new_mid(on_acknowledged)
            if mid is None:
                return None
            packet = packets.publish(topic, payload, qos, retain, mid, properties)
            if self._sent < self._window and not self._held:
                self._out += packet
                self._sent += 1
            else:
                self._held.append(packet)
            return mid

    def subscribe(self, topic, qos):
        """Queue a subscription to `topic` (its packet id is in use until answered)."""
        with self._lock:
            mid = None if self._leaving else self._new_mid(None)
            if mid is not None:
                self._out += packets.subscribe(mid, topic, qos)

    def say_goodbye(self):
        """Queue the goodbye, after every message queued so far; the
        connection ends once it is written."""
        with self._lock:
            self._leaving = True
            self._queue_goodbye()

    def close(self):
        """Close the socket (again is harmless)."""
        self._sock.close()

    def write(self):
        """Send what the socket takes of what waits."""
        with self._lock:
            self._check_ids()
            if self._out:
                try:
                    sent = self._sock.send(self._out)
                except _WOULD_BLOCK:
                    return True
                del self._out[:sent]
                self._last_out = time.monotonic()
            return not (self._goodbye_queued and not self._out)

    def read(self):
        """Take what arrived and handle every whole packet in it."""
        try:
            data = self._sock.recv(_READ_SIZE)
        except _WOULD_BLOCK:
            return True
        except ConnectionError:
            return False  # reset: closed all the same (what a TLS port does with a plain login)
        if not data:
            return False  # the broker closed it
        self._in += data
        found, used = packets.split(self._in)
        del self._in[:used]
        if found:
            self._ping_since = None  # the broker is there
        for packet_type, flags, body in found:
            self._handle(packet_type, flags, body)
        return True

    def check(self):
        """Ping a connection quiet for `KEEPALIVE` seconds; fail one whose
        ping went unanswered as long, or that has no packet id left."""
        now = time.monotonic()
        self._check_ids()
        if self._ping_since is not None and now - self._ping_since > KEEPALIVE:
            raise socket.timeout("no answer to a ping in %d s" % KEEPALIVE)
        with self._lock:
            if now - self._last_out >= KEEPALIVE and self._ping_since is None and not self._leaving:
                self._out += packets.PING
                self._ping_since = now
        return True

    def _handle(self, packet_type, flags, body):
        if packet_type == packets.PUBACK:
            self._acknowledged(packets.acknowledged(body))
        elif packet_type == packets.PUBLISH:
            message = packets.message(flags, body)
            if message.qos:
                with self._lock:
                    self._out += packets.acknowledgement(message.mid)
            self._on_message(message)
        elif packet_type == packets.CONNACK:
            reason, properties = packets.answer(body)
            self._window = getattr(properties, "ReceiveMaximum", _MID_COUNT)
            self._on_answer(reason, properties)
        elif packet_type == packets.SUBACK:
            with self._lock:
                self._unacknowledged.pop(packets.acknowledged(body), None)
        elif packet_type == packets.DISCONNECT:
            raise ConnectionResetError("the broker ended the connection: %s" % packets.disconnection(body))
        elif packet_type != packets.PINGRESP:
            raise packets.ProtocolError("a packet of type %d from the broker" % packet_type)

    def _acknowledged(self, mid):
        with self._lock:
            if mid not in self._unacknowledged:
                return  # not ours, or acknowledged already
            on_acknowledged = self._unacknowledged.pop(mid)
            self._sent -= 1
            while self._held and self._sent < self._window:
                self._out += self._held.popleft()
                self._sent += 1
            self._queue_goodbye()
        if on_acknowledged is not None:
            on_acknowledged(mid)

    def _queue_goodbye(self):
        if self._leaving and not self._held and not self._goodbye_queued:
            self._out += packets.GOODBYE
            self._goodbye_queued = True

    def _check_ids(self):
        if self._stalled:
            raise ConnectionAbortedError("the broker left all %d packet ids unanswered" % _MID_COUNT)

    def _new_mid(self, on_acknowledged):
        """A packet id no unanswered packet has, kept with what its answer
        calls; None when there is none (the connection is then given up)."""
        if len(self._unacknowledged) >= _MID_COUNT:
            self._stalled = True
            return None
        mid = self._last_mid
        while True:
            mid = mid % _MID_COUNT + 1
            if mid not in self._unacknowledged:
                break
        self._last_mid = mid
        self._unacknowledged[mid] = on_acknowledged
        return mid
