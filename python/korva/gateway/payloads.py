"""What the gateway's messages carry: frames, replies and its retained state
as JSON objects, and the body of a command.

A frame has the keys of `korva monitor --json`
(`korva.frame.Frame.json_fields`: `transmitter_id`, `receiver_id`,
`message_type`, `message_id`, `data` in hex, `status`) plus
`seq`, its number on its link (from 0, one more per frame), `ts`, the
arrival time of its first byte (or the time it was sent) in seconds since
the epoch, and `direction`: "in" for a frame the line brought, "out" for
one the gateway's node sent. With a schema, an intact frame and a reply
whose id and type the schema names gain `message` and `fields` (and
`extra`), or `message` and `decode_error` (see
`korva.schema.json.frame_document`). Every payload is strict JSON.
"""

import json
import time

from .. import frame
from ..errors import EncodeError, KorvaError
from ..schema import json as typed_json

__all__ = ["IN", "OUT", "BadPayload", "command_body", "error_payload", "frame_payload", "info_payload",
           "read_frame", "reply_payload", "schema_payload", "stats_payload"]

IN, OUT = typed_json.DIRECTIONS
_TIME_DIGITS = 6  # microseconds, as the monitor writes times
_DATA, _FIELDS = "data", "fields"


class BadPayload(KorvaError):
    """A command payload the gateway cannot send."""


def _encoded(document):
    return typed_json.dumps(document).encode()


def frame_payload(event, seq, direction=IN, schema=None):
    """The payload for a `korva.wire.Event` holding a frame, numbered `seq`,
    that went `direction` (IN or OUT), its body decoded by `schema` (a
    `TypedSchema`, or None)."""
    decoded = event.frame
    return _encoded({**typed_json.frame_document(decoded, schema, direction), "seq": seq,
                     "ts": round(event.time, _TIME_DIGITS)})


def reply_payload(message, schema=None):
    """The payload answering a request with its reply, a `korva.Message`,
    decoded by `schema` (a `TypedSchema`, or None)."""
    decoded = message.as_frame()
    return _encoded(typed_json.frame_document(decoded, schema))


def error_payload(text):
    """The payload answering a command that failed."""
    return _encoded({"error": text})


def info_payload(node_id, target, engine_version, schema=None):
    """The retained description of a link, with its schema's name, revision
    and fingerprint when it has one."""
    document = {"node_id": node_id, "target": target, "engine_version": engine_version}
    if schema is not None:
        document["schema"] = {"name": schema.name, "revision": schema.revision, "fingerprint": schema.fingerprint}
    return _encoded(document)


def schema_payload(schema):
    """The retained schema of a link: its canonical JSON text; empty (which
    clears a retained message) for a link without one."""
    return b"" if schema is None else schema.canonical.encode()


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


def command_body(payload, message_type, message_id, schema=None):
    """The body of the frame of `message_type` and `message_id` that a
    command payload asks for: a JSON object {"data": "0102"} (hex; no
    "data", an empty body) or {"fields": {...}} (the values of the message
    `schema` has at that type and id, see `korva.schema.json`), or else the
    payload's own bytes. BadPayload, before anything is sent, for a JSON
    object that says anything else, for fields the schema cannot encode
    (with the codec's reason) and for a body longer than a frame holds."""
    body = _json_body(payload, message_type, message_id, schema)
    if body is None:
        body = bytes(payload)
    if len(body) > frame.MAX_PAYLOAD:
        raise BadPayload("a frame body holds at most %d bytes, not %d" % (frame.MAX_PAYLOAD, len(body)))
    return body


def _json_body(payload, message_type, message_id, schema):
    try:
        document = json.loads(payload)
    except ValueError:
        return None  # not JSON: the payload is the body itself
    if not isinstance(document, dict):
        return None
    unknown = set(document) - {_DATA, _FIELDS}
    if unknown:
        raise BadPayload("a JSON command has the key \"data\" or \"fields\", not %s" % ", ".join(sorted(unknown)))
    if _FIELDS in document:
        if _DATA in document:
            raise BadPayload("a JSON command has \"data\" or \"fields\", not both")
        return _fields_body(document[_FIELDS], message_type, message_id, schema)
    data = document.get(_DATA, "")
    if not isinstance(data, str):
        raise BadPayload("\"data\" is a string of hex bytes, not %r" % (data,))
    try:
        return frame.body_from_hex(data)
    except ValueError as error:
        raise BadPayload("\"data\": %s" % error) from None


def _fields_body(fields, message_type, message_id, schema):
    if schema is None:
        raise BadPayload("\"fields\" needs a schema, and this link has none")
    cls = schema.message_class(message_id, message_type)
    if cls is None:
        raise BadPayload("schema %s has no %s with id %d" % (schema.name, frame.TYPE_NAMES[message_type],
                                                             message_id))
    try:
        return typed_json.from_json(cls, fields).encode()
    except EncodeError as error:
        raise BadPayload(str(error)) from None
