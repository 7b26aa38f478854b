"""Watching a line: events as text or JSON lines, filters, the running
summary, and the read loop that drives a `korva.wire.Scanner` from a bare
line without ever writing to it."""

import json
import time

from . import frame
from .wire import Scanner

__all__ = ["FILTER_KEYS", "Summary", "as_json", "as_text", "frame_text", "parse_filter", "watch"]

FILTER_KEYS = {"src": "transmitter_id", "dst": "receiver_id", "id": "message_id", "type": "message_type"}
_READ_WAIT = 0.05  # seconds; how often a quiet line is checked for stale fragments and the deadline
_SUMMARY_PERIOD = 1.0


def _printable(data):
    return "".join(chr(byte) if 0x20 <= byte < 0x7F else "." for byte in data)


def as_text(event):
    """One line for an event: time, addresses, type, id, length, body in hex
    and as text, check result; or the noise bytes."""
    if event.frame is None:
        return "%10.6f  noise  %3d bytes  %s" % (event.time, len(event.raw), event.raw.hex(" "))
    return "%10.6f  %s" % (event.time, frame_text(event.frame))


def frame_text(decoded):
    """A decoded frame in one line, without its time."""
    body = "%s |%s|" % (decoded.data.hex(" "), _printable(decoded.data)) if decoded.data else "-"
    return "%2d -> %2d  %-8s  id %2d  len %3d  %s  %s" % (
        decoded.transmitter_id, decoded.receiver_id, frame.TYPE_NAMES[decoded.message_type], decoded.message_id,
        len(decoded.data), body, decoded.status)


def as_json(event):
    """One JSON object for an event."""
    if event.frame is None:
        return json.dumps({"time": round(event.time, 6), "noise": event.raw.hex()})
    return json.dumps({"time": round(event.time, 6), **event.frame.json_fields()})


def parse_filter(text):
    """A KEY=VALUE filter (src, dst, id or type) as a (field, value) pair."""
    key, _, value = text.partition("=")
    if key not in FILTER_KEYS or not value:
        raise ValueError("a filter is KEY=VALUE with KEY one of %s, not %r" % (", ".join(FILTER_KEYS), text))
    if key == "type":
        return FILTER_KEYS[key], frame.type_number(value)
    return FILTER_KEYS[key], int(value, 0)


def passes(event, filters):
    """Whether an event is shown: with filters, only frames matching all."""
    if not filters:
        return True
    return event.frame is not None and all(getattr(event.frame, field) == value for field, value in filters)


class Summary:
    """Frames, their rate, errors and noise bytes, refreshed in place on a
    terminal every second and written once at the end otherwise."""

    def __init__(self, stream):
        self._stream = stream
        self._live = stream.isatty()
        self._shown_at = 0.0
        self.frames = self.errors = self.noise_bytes = 0

    def count(self, event):
        if event.frame is None:
            self.noise_bytes += len(event.raw)
        else:
            self.frames += 1
            self.errors += not event.frame.ok

    def text(self, elapsed):
        return "%d frames (%.1f/s), %d errors, %d noise bytes" % (
            self.frames, self.frames / elapsed if elapsed > 0 else 0.0, self.errors, self.noise_bytes)

    def refresh(self, elapsed):
        if self._live and elapsed - self._shown_at >= _SUMMARY_PERIOD:
            self._shown_at = elapsed
            self._stream.write("\r" + self.text(elapsed) + "\x1b[K")
            self._stream.flush()

    def close(self, elapsed):
        self._stream.write(("\r" if self._live else "") + self.text(elapsed) + "\n")
        self._stream.flush()


def watch(line, gap, handle, duration=None, tick=lambda elapsed: None):
    """Read `line` (fragments older than `gap` seconds are cut) until
    `duration` seconds pass (forever if None) or the
    user interrupts; every event goes to `handle(event)` with its time in
    seconds since the start, and `tick(elapsed)` runs after every read.
    Returns the seconds watched."""
    scanner = Scanner(gap)
    start = time.monotonic()
    elapsed = 0.0
    try:
        while duration is None or elapsed < duration:
            line.wait(True, False, _READ_WAIT)
            data = line.read()
            elapsed = time.monotonic() - start
            for event in scanner.feed(data, elapsed) if data else scanner.expire(elapsed):
                handle(event)
            tick(elapsed)
    except KeyboardInterrupt:
        pass
    for event in scanner.finish():
        handle(event)
    return time.monotonic() - start
