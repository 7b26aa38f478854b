"""Watching a line: events as text or JSON lines, decoded by a schema when
one is given, filters, the running summary, and the read loop that drives a
`korva.wire.Scanner` from a bare line without ever writing to it.

A schema only adds to what is shown: a frame it names is shown decoded, or
with the codec's reason beside its hex when the body does not fit; a
damaged frame is never decoded; nothing is hidden or counted differently.
"""

import time

from . import frame
from .schema.compact import compact
from .schema.json import dumps, frame_document
from .wire import Scanner

__all__ = ["FILTER_KEYS", "MESSAGE_FILTER", "Summary", "as_json", "as_text", "check_filters",
           "frame_text", "message_name", "parse_filter", "passes", "watch"]

FILTER_KEYS = {"src": "transmitter_id", "dst": "receiver_id", "id": "message_id", "type": "message_type"}
MESSAGE_FILTER = "msg"  # matches the name the schema gives a frame, not a field of the frame
_WATCHED = "in"  # the direction of every frame the monitor sees: the line brought it
_READ_WAIT = 0.05  # seconds; how often a quiet line is checked for stale fragments and the deadline
_SUMMARY_PERIOD = 1.0


def _printable(data):
    return "".join(chr(byte) if 0x20 <= byte < 0x7F else "." for byte in data)


def as_text(event, schema=None):
    """One line for an event: time, addresses, type, id, length, body (see
    `frame_text`), check result; or the noise bytes."""
    if event.frame is None:
        return "%10.6f  noise  %3d bytes  %s" % (event.time, len(event.raw), event.raw.hex(" "))
    return "%10.6f  %s" % (event.time, frame_text(event.frame, schema))


def frame_text(decoded, schema=None):
    """A decoded frame in one line, without its time. The body is in hex and
    as text; with a `TypedSchema` that names the frame, as the message
    (`korva.schema.compact`), or in hex followed by the codec's reason when
    it does not decode."""
    keys = frame_document(decoded, schema)
    if "fields" in keys:
        body = compact(schema.messages[keys["message"]].definition, keys["fields"], keys.get("extra", 0))
    elif decoded.data:
        body = "%s |%s|" % (decoded.data.hex(" "), _printable(decoded.data))
    else:
        body = "-"
    line = "%2d -> %2d  %-8s  id %2d  len %3d  %s  %s" % (
        decoded.transmitter_id, decoded.receiver_id, frame.TYPE_NAMES[decoded.message_type], decoded.message_id,
        len(decoded.data), body, decoded.status)
    return line + ("  decode_error: %s" % keys["decode_error"] if "decode_error" in keys else "")


def as_json(event, schema=None):
    """One JSON object for an event (strict JSON: see `korva.schema.json`)."""
    if event.frame is None:
        return dumps({"time": round(event.time, 6), "noise": event.raw.hex()})
    return dumps({"time": round(event.time, 6), **frame_document(event.frame, schema, _WATCHED)})


def parse_filter(text):
    """A KEY=VALUE filter (src, dst, id, type, or msg: the name a schema
    gives the frame) as a (key, value) pair."""
    key, _, value = text.partition("=")
    if key not in FILTER_KEYS and key != MESSAGE_FILTER or not value:
        raise ValueError("a filter is KEY=VALUE with KEY one of %s, not %r"
                         % (", ".join(list(FILTER_KEYS) + [MESSAGE_FILTER]), text))
    if key == MESSAGE_FILTER:
        return MESSAGE_FILTER, value
    if key == "type":
        return FILTER_KEYS[key], frame.type_number(value)
    return FILTER_KEYS[key], int(value, 0)


def check_filters(filters, schema):
    """ValueError for a msg filter without a schema or naming a message the
    schema does not have."""
    for key, value in filters:
        if key != MESSAGE_FILTER:
            continue
        if schema is None:
            raise ValueError("the filter msg=%s needs a schema (--schema FILE)" % value)
        if value not in schema.messages:
            raise ValueError("the filter msg=%s names no message of %s (%s)"
                             % (value, schema.name, ", ".join(sorted(schema.messages))))


def message_name(decoded, schema):
    """The name `schema` gives an intact frame, or None."""
    cls = None if schema is None or not decoded.ok else schema.message_class(decoded.message_id,
                                                                              decoded.message_type)
    return None if cls is None else cls.definition.name


def passes(event, filters, schema=None):
    """Whether an event is shown: with filters, only frames matching all."""
    if not filters:
        return True
    return event.frame is not None and all(_matches(event.frame, key, value, schema) for key, value in filters)


def _matches(decoded, key, value, schema):
    if key == MESSAGE_FILTER:
        return message_name(decoded, schema) == value
    return getattr(decoded, key) == value


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
