"""Every frame on a line, whoever it is for: a byte stream cut into frames
and noise, for tools that watch a line without taking part.

The cut is the link's own, done by the same native code that cuts a node's
line: bytes before a start byte are noise; a start byte and the bytes its
length byte announces are a frame, intact or damaged; a damaged frame's
bytes are scanned again from the one after its start byte, so a frame
inside a false start is found as a node finds it; a fragment the line went
quiet in for `gap` seconds loses its start byte. Each frame comes with the
cutter's verdict on it (intact, bad checksum, bad end byte), which becomes
its status: nothing here checks a frame again. This module imports
without the compiled modules; a `Scanner` and a frame shower need them.
"""

import functools
import typing

from . import frame

__all__ = ["Event", "Scanner", "frame_shower"]


class Event(typing.NamedTuple):
    """A frame (`frame` set, decoded) or a run of noise (`frame` None), with
    the arrival time of its first byte and its bytes as they came."""

    time: float
    raw: bytes
    frame: typing.Optional[frame.Frame]


@functools.lru_cache(maxsize=None)
def _statuses():
    """The frame status for each verdict of the cutter, an engine status."""
    import KorvaPy
    return {int(KorvaPy.KORVA_STATUS_SUCCESS): frame.OK, int(KorvaPy.KORVA_STATUS_CRC_ERROR): frame.CRC_ERROR,
            int(KorvaPy.KORVA_STATUS_END_BYTE_ERROR): frame.END_BYTE_ERROR}


def frame_shower(show):
    """A native frame observer: it takes the frames of one service, (raw,
    time, verdict) tuples, and hands `show` an Event for each in order.
    Should `show` raise, the batch keeps only the frames it did not reach,
    which the link shows again first."""
    statuses = _statuses()

    def observe(batch):
        index = -1
        try:
            for index, (raw, time, verdict) in enumerate(batch):
                show(Event(time, raw, frame.decode_checked(raw, statuses[verdict])))
        except BaseException:
            del batch[:index + 1]
            raise
    return observe


class Scanner:
    """Feed it bytes as they arrive, with their arrival time; it returns the
    events that are complete. `expire(now)` cuts a fragment the line went
    quiet in; `finish()` gives up on whatever is left. Consecutive noise
    comes as one event once a frame (or the end) follows it."""

    def __init__(self, gap):
        import _korva_link  # the link's cutter; the rest of the module needs none
        self.gap = gap
        self._cutter = _korva_link.Cutter(gap)
        self._noise = []  # (time, bytes) of the noise not yet reported

    def feed(self, data, now):
        """Take `data`, arrived at `now`; the events it completed."""
        return self._events(self._cutter.feed(bytes(data), now), end=False)

    def expire(self, now):
        """Events completed by the line having been quiet until `now`."""
        return self._events(self._cutter.expire(now), end=False)

    def finish(self):
        """Every event still pending, the incomplete tail as noise."""
        return self._events(self._cutter.finish(), end=True)

    @property
    def stats(self):
        """The cutter's counters: bytes received and hunted, resyncs, fragments cut short."""
        return self._cutter.stats()

    def _events(self, pieces, end):
        events = []
        statuses = _statuses()
        for kind, time, raw, verdict in pieces:
            if kind == "frame":
                events += self._noise_event()
                events.append(Event(time, raw, frame.decode_checked(raw, statuses[verdict])))
            else:
                self._noise.append((time, raw))
        if end:
            events += self._noise_event()
        return events

    def _noise_event(self):
        if not self._noise:
            return []
        event = Event(self._noise[0][0], b"".join(raw for _, raw in self._noise), None)
        self._noise = []
        return [event]
