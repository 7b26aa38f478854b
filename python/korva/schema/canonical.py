"""The canonical form of a schema, its fingerprint, and a schema as it was
at an earlier revision.

The canonical form is what tools exchange and hash: JSON with sorted keys
and no whitespace (UTF-8, non-ASCII text as is), messages ordered by (id,
type number), fields and bits in wire order, `doc` dropped, and every key
left out that holds its default (`since` equal to what the element belongs
to, `scale` 1, `offset` 0, empty `unit`, ...); an enum value is its integer,
or `{"since": N, "value": V}` when it came later. It is itself a valid
schema file with the same fingerprint. The fingerprint is the CRC-32
(zlib) of those bytes, as 8 lowercase hex digits.
"""

import json
import zlib
from dataclasses import replace

__all__ = ["canonical_data", "canonical", "fingerprint", "restrict"]


def canonical_data(schema):
    """The canonical form as Python data (dicts, lists, numbers, text)."""
    data = {"format": schema.format, "name": schema.name, "revision": schema.revision}
    if schema.enums:
        data["enums"] = {enum.name: {value.name: value.value if value.since == 1 else
                                     {"value": value.value, "since": value.since} for value in enum.values}
                         for enum in schema.enums}
    if schema.messages:
        data["messages"] = [_message(message)
                            for message in sorted(schema.messages, key=lambda item: (item.id, item.type_number))]
    return data


def _message(message):
    data = {"name": message.name, "id": message.id, "type": message.type}
    _put(data, "reply", message.reply, None)
    _put(data, "since", message.since, 1)
    if message.fields:
        data["fields"] = [_field(field, message.since) for field in message.fields]
    return data


_FIELD_DEFAULTS = (("count", None), ("enum", None), ("scale", 1), ("offset", 0), ("unit", ""), ("min", None),
                   ("max", None), ("invalid", None), ("default", None))


def _field(field, message_since):
    data = {"name": field.name, "type": field.type}
    for key, default in _FIELD_DEFAULTS:
        _put(data, key, getattr(field, key), default)
    _put(data, "since", field.since, message_since)
    if field.bits:
        data["bits"] = [_bit(bit, field.since) for bit in field.bits]
    return data


def _bit(bit, field_since):
    data = {"name": bit.name}
    _put(data, "width", bit.width, 1)
    _put(data, "enum", bit.enum, None)
    _put(data, "since", bit.since, field_since)
    return data


def _put(data, key, value, default):
    if value != default:
        data[key] = value


def canonical(schema):
    """The canonical JSON text."""
    return json.dumps(canonical_data(schema), sort_keys=True, separators=(",", ":"), ensure_ascii=False,
                      allow_nan=False)


def fingerprint(schema):
    """CRC-32 of the canonical form's UTF-8 bytes: 8 lowercase hex digits."""
    return "%08x" % zlib.crc32(canonical(schema).encode("utf-8"))


def restrict(schema, revision):
    """`schema` as it was at `revision`: every message, field, bit and enum
    value added later left out (an enum left without values too)."""
    if not 1 <= revision <= schema.revision:
        raise ValueError("revision must be 1 to %d, not %r" % (schema.revision, revision))

    def kept(items):
        return tuple(item for item in items if item.since <= revision)

    enums = tuple(replace(enum, values=kept(enum.values)) for enum in schema.enums)
    messages = tuple(replace(message, fields=tuple(replace(field, bits=kept(field.bits))
                                                   for field in kept(message.fields)))
                     for message in kept(schema.messages))
    return replace(schema, revision=revision, enums=tuple(enum for enum in enums if enum.values),
                   messages=messages)
