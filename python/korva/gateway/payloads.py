"""What the gateway's messages carry: frames, replies and its retained state
as JSON objects, and the body of a command.

A frame has the keys of `korva monitor --json`
(`korva.frame.Frame.json_fields`: `transmitter_id`, `receiver_id`,
`message_type`, `message_id`, `data` in hex, `status`) plus
`seq`, its number on its link (from 0, one more per frame), and `ts`, the
arrival time of its first byte in seconds since the epoch.
"""

import json
import time

from .. import frame
from ..errors import KorvaError

__all__ = ["BadPayload", "command_body", "error_payload", "frame_payload", "info_payload", "read_frame",
           "reply_payload", "stats_payload"]

_TIME_DIGITS = 6  # microseconds, as the monitor writes times
_COMMAND_KEYS = {"data"}


class BadPayload(KorvaError):
    """A command payload the gateway cannot send."""


def _encoded(document):
    return json.dumps(document, separators=(",", ":")).encode()


def frame_payload(event, seq):
    """The payload for a `korva.wire.Event` holding a frame, numbered `seq`."""
    return _encoded({**event.frame.json_fields(), "seq": seq, "ts": round(event.time, _TIME_DIGITS)})


def reply_payload(message):
    """The payload answering a request with its reply, a `korva.Message`."""
    return _encoded(message.as_frame().json_fields())


def error_payload(text):
    """The payload answering a command that failed."""
    return _encoded({"error": text})


def info_payload(node_id, target, engine_version):
    """The retained description of a link."""
    return _encoded({"node_id": node_id, "target": target, "engine_version": engine_version})


def stats_payload(counters):
    """The retained statistics of a link, from a dict of counters, with
    `ts`, the time they were taken (seconds since the epoch): when the
    link was last heard of, once its gateway is gone."""
    return _encoded({**counters, "ts": round(time.time(), _TIME_DIGITS)})


def read_frame(document):
    """The `korva.frame.Frame` of a frame's or a reply's JSON object;
    BadPayload if it is not one."""
    try:
        return frame.Frame(document["transmitter_id"], document["receiver_id"],
                           frame.type_number(document["message_type"]), document["message_id"],
                           bytes.fromhex(document["data"]), document["status"])
    except (KeyError, TypeError, ValueError) as error:
        raise BadPayload("not a frame: %s (%s)" % (json.dumps(document)[:200], error)) from None


def command_body(payload):
    """The frame body a command payload asks for: a JSON object
    {"data": "0102"} (hex; no "data", an empty body), or else the payload's
    own bytes. BadPayload for a JSON object that says anything else, and for
    a body longer than a frame holds."""
    body = _json_body(payload)
    if body is None:
        body = bytes(payload)
    if len(body) > frame.MAX_PAYLOAD:
        raise BadPayload("a frame body holds at most %d bytes, not %d" % (frame.MAX_PAYLOAD, len(body)))
    return body


def _json_body(payload):
    try:
        document = json.loads(payload)
    except ValueError:
        return None  # not JSON: the payload is the body itself
    if not isinstance(document, dict):
        return None
    unknown = set(document) - _COMMAND_KEYS
    if unknown:
        raise BadPayload("a JSON command has only the key \"data\", not %s" % ", ".join(sorted(unknown)))
    data = document.get("data", "")
    if not isinstance(data, str):
        raise BadPayload("\"data\" is a string of hex bytes, not %r" % (data,))
    try:
        return frame.body_from_hex(data)
    except ValueError as error:
        raise BadPayload("\"data\": %s" % error) from None
