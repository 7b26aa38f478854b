"""A link's frames on their way to the broker: those the line brought and
those the gateway's node sent, numbered in one sequence in the order they
came and went, published while the broker is there, kept in a bounded
buffer while it is away and replayed, with their first number and time, as
soon as it is back. A subscriber tells a gap from `seq`; the gap equals the
frames this stream counted as dropped.

At QoS 1 a frame counts as delivered once the broker acknowledged it; frames
still unacknowledged when the connection drops are published again, so a
subscriber may see a `seq` twice. A broker slower than the line holds at
most `capacity` unacknowledged frames; the next ones wait in the buffer,
which `drain` (or the next frame) empties as acknowledgements come. At
QoS 0 a frame written towards a broker that died meanwhile is lost without
being counted.
"""

import threading

from .buffer import FrameBuffer, InFlight, Pending
from .payloads import IN, frame_payload

__all__ = ["FrameStream"]


class FrameStream:
    """Frames of one link (`topics`, a `LinkTopics`) published at `qos`,
    with at most `capacity` kept while the broker is away, their bodies
    decoded by `schema` (a `TypedSchema`, or None)."""

    def __init__(self, topics, qos, capacity, schema=None):
        self._topics = topics
        self._schema = schema
        self.qos = qos
        self._lock = threading.Lock()
        self._publish = None  # publish(topic, payload, qos, on_acknowledged) -> packet id, None once it fails
        self._buffer = FrameBuffer(capacity)
        self._in_flight = InFlight()
        self.next_seq = 0
        self.published = 0

    @property
    def dropped(self):
        """Frames given up on because the buffer was full."""
        return self._buffer.dropped

    @property
    def in_flight(self):
        """Frames published at QoS 1 and not yet acknowledged."""
        return len(self._in_flight)

    @property
    def buffered(self):
        """Frames waiting for the broker."""
        return len(self._buffer)

    def offer(self, event, direction=IN):
        """Number the frame of a `korva.wire.Event` that went `direction`
        (`payloads.IN` or `OUT`) and publish or keep it."""
        with self._lock:
            pending = Pending(self.next_seq, self._topics.frame(event.frame),
                              frame_payload(event, self.next_seq, direction, self._schema))
            self.next_seq += 1
            self._drain()
            if len(self._buffer) or not self._send(pending):  # older frames go first
                self._buffer.append(pending)

    def attach(self, publish):
        """The broker is back: replay the kept frames in order, then publish
        new ones as they come."""
        with self._lock:
            self._publish = publish
            self._drain()

    def drain(self):
        """Publish kept frames the broker has room for now."""
        with self._lock:
            self._drain()

    def detach(self):
        """The connection is gone: keep new frames, and take back those the
        broker never acknowledged."""
        with self._lock:
            self._publish = None
            self._buffer.put_back(self._in_flight.take_all())

    def _acknowledged(self, mid):
        """The broker took packet `mid` (called on the connection's thread)."""
        self._in_flight.acknowledged(mid)

    def _drain(self):
        while len(self._buffer):
            pending = self._buffer.take_oldest()
            if not self._send(pending):
                self._buffer.put_back([pending])
                return

    def _send(self, pending):
        if self._publish is None or len(self._in_flight) >= self._buffer.capacity:
            return False
        mid = self._publish(pending.topic, pending.payload, self.qos, on_acknowledged=self._acknowledged)
        if mid is None:
            self._publish = None  # the connection is failing; keep everything until it is back
            return False
        if self.qos:
            self._in_flight.sent(mid, pending)
        self.published += 1
        return True
