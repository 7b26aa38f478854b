"""Frames the broker has not taken yet: those waiting while it is away, in
a bounded buffer that drops (and counts) the oldest, and those published at
QoS 1 and not yet acknowledged, which go back into the buffer when the
connection is lost."""

import collections
import threading
import typing

__all__ = ["FrameBuffer", "InFlight", "Pending"]


class Pending(typing.NamedTuple):
    """A frame's publication: its number on the link, topic and payload."""

    seq: int
    topic: str
    payload: bytes


class FrameBuffer:
    """At most `capacity` frames, oldest first; `dropped` counts those that
    made room for newer ones. Not thread-safe: its owner serializes."""

    def __init__(self, capacity):
        self.capacity = capacity
        self.dropped = 0
        self._frames = collections.deque()

    def __len__(self):
        return len(self._frames)

    def append(self, pending):
        """Keep a frame, dropping the oldest if full."""
        self._frames.append(pending)
        self._trim()

    def put_back(self, older):
        """Put frames older than every kept one in front, in their order;
        the oldest are dropped if they do not all fit."""
        self._frames.extendleft(reversed(older))
        self._trim()

    def take_oldest(self):
        """The oldest kept frame, no longer kept."""
        return self._frames.popleft()

    def _trim(self):
        while len(self._frames) > self.capacity:
            self._frames.popleft()
            self.dropped += 1


class InFlight:
    """Frames published and not yet acknowledged, by MQTT packet id.

    The client calls `acknowledged` on its own thread while it holds its
    own locks, possibly before `sent` has recorded that id: this class's
    lock is the last any caller takes, and an early acknowledgement is kept
    until its `sent` arrives."""

    def __init__(self):
        self._lock = threading.Lock()
        self._waiting = {}
        self._early = set()

    def __len__(self):
        return len(self._waiting)

    def sent(self, mid, pending):
        """Record a frame handed to the client under packet id `mid`."""
        with self._lock:
            if mid in self._early:
                self._early.discard(mid)
            else:
                self._waiting[mid] = pending

    def acknowledged(self, mid):
        """The broker took packet `mid`."""
        with self._lock:
            if self._waiting.pop(mid, None) is None:
                self._early.add(mid)

    def take_all(self):
        """The unacknowledged frames in the order they were sent; forgets
        everything (packet ids start again on a new connection)."""
        with self._lock:
            frames = list(self._waiting.values())
            self._waiting.clear()
            self._early.clear()
            return frames
