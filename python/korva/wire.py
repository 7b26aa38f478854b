"""Every frame on a line, whoever it is for: a byte stream cut into frames
and noise, for tools that watch a line without taking part.

The cut follows the link's own rules: bytes before a start byte are noise; a
candidate whose end byte is wrong but which holds another start byte is a
false start (its first byte is noise, the rest is scanned again); a fragment
the line went quiet in for `gap` seconds is cut the same way. A candidate
with the right end byte is a frame, intact or not.
"""

import typing

from . import frame

__all__ = ["Event", "Scanner"]


class Event(typing.NamedTuple):
    """A frame (`frame` set, decoded) or a run of noise (`frame` None), with
    the arrival time of its first byte and its bytes as they came."""

    time: float
    raw: bytes
    frame: typing.Optional[frame.Frame]


class Scanner:
    """Feed it bytes as they arrive, with their arrival time; it returns the
    events that are complete. `expire(now)` cuts a fragment the line went
    quiet in; `finish()` gives up on whatever is left."""

    def __init__(self, gap):
        self.gap = gap
        self._bytes = bytearray()
        self._times = []
        self._noise_start = None  # index in _bytes where pending noise began
        self._last_arrival = None

    def feed(self, data, now):
        """Take `data`, arrived at `now`; the events it completed."""
        events = self.expire(now)
        self._bytes += data
        self._times += [now] * len(data)
        self._last_arrival = now
        return events + self._scan(quiet=False)

    def expire(self, now):
        """Events completed by the line having been quiet until `now`."""
        if self._last_arrival is None or now - self._last_arrival < self.gap:
            return []
        return self._scan(quiet=True)

    def finish(self):
        """Every event still pending, the incomplete tail as noise."""
        return self._scan(quiet=True)

    def _scan(self, quiet):
        events = []
        start = self._noise_start or 0
        while start < len(self._bytes):
            if self._bytes[start] != frame.START:
                start = self._skip_to_start(start)
                continue
            length = self._frame_length(start)
            if length is None:
                if not quiet:
                    break
                start += 1  # a fragment the line went quiet in
                continue
            raw = bytes(self._bytes[start:start + length])
            decoded = frame.decode(raw)
            if decoded.status == "end_byte_error" and frame.START in raw[1:]:
                start += 1  # a false start; the real frame begins inside it
                continue
            events += self._noise_before(start)
            events.append(Event(self._times[start], raw, decoded))
            self._drop(start + length)
            start = 0
        if quiet:
            events += self._noise_before(len(self._bytes))
            self._drop(len(self._bytes))
        else:
            self._noise_start = start if start > 0 else None
        return events

    def _skip_to_start(self, start):
        found = self._bytes.find(frame.START, start)
        return len(self._bytes) if found < 0 else found

    def _frame_length(self, start):
        if start + 1 >= len(self._bytes):
            return None
        length = self._bytes[start + 1] + frame.OVERHEAD
        return length if start + length <= len(self._bytes) else None

    def _noise_before(self, end):
        if end == 0:
            return []
        return [Event(self._times[0], bytes(self._bytes[:end]), None)]

    def _drop(self, count):
        del self._bytes[:count]
        del self._times[:count]
        self._noise_start = None
