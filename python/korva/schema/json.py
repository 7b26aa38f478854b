"""Typed messages as JSON: the one mapping every tool that shows or takes
fields as JSON uses (the gateway's payloads and commands, the monitor).

- integers as numbers; u64 and i64 as decimal strings, which no JSON
  reader rounds ("18446744073709551615");
- finite floats as the shortest decimal that reads back to the same value
  at the field's width (an f32 0.1 is 0.1, not 0.10000000149011612); NaN
  and the infinities as the strings "NaN", "Infinity", "-Infinity"; -0.0
  stays -0.0;
- a scaled field as its physical value, a number by the f64 rule;
- an enum value as its member's name; a value no member has as its number
  (by the integer rule);
- a bits field as an object of its bits (true/false for a lone bit without
  enum, else a number or an enum name);
- bool as true/false, arrays as arrays, string as a string, bytes as
  lowercase hex; an `invalid` sentinel as null.

The reverse takes the same forms, and numbers for 64-bit fields, enum
numbers, and the numbers the codec takes wherever it takes them. A document
made of these values always goes through `json.dumps(..., allow_nan=False)`.
"""

import enum
import functools
import math
import re
import struct

from ..errors import DecodeError, EncodeError
from .model import F32_MAX

__all__ = ["DIRECTIONS", "to_json", "from_json", "message_keys", "frame_document", "dumps"]

DIRECTIONS = ("in", "out")  # a frame the line brought, a frame this host's node sent
_NAN, _INFINITY, _MINUS_INFINITY = "NaN", "Infinity", "-Infinity"
_SPECIAL_FLOATS = {_NAN: math.nan, _INFINITY: math.inf, _MINUS_INFINITY: -math.inf}
_F32 = struct.Struct("<f")
_F32_DIGITS = 9  # significant digits that always give an f32 back
_DECIMAL = re.compile(r"-?[0-9]+\Z")
_WIDE = 8  # bytes of the integers JSON readers cannot hold exactly


def dumps(document):
    """Compact, strict JSON text of `document` (no bare NaN: a float that is
    not finite is a ValueError, since it should have been mapped first)."""
    return _encoder().encode(document)


@functools.lru_cache(maxsize=None)
def _encoder():
    """One encoder for every document: the standard library builds one per
    call for any but its default options, a cost paid on every frame."""
    import json  # the standard library's (this module shadows its name only inside the package)
    return json.JSONEncoder(separators=(",", ":"), allow_nan=False, ensure_ascii=False)


def to_json(message):
    """The fields of `message` (an instance of a message class) as a dict of
    JSON values, in wire order."""
    return {name: convert(getattr(message, name)) for name, convert in _writers(type(message))}


def from_json(cls, document):
    """An instance of the message class `cls` from a dict of JSON values
    (as `json.loads` reads them); EncodeError naming "message.field" for a
    value it cannot take. The values are checked in full by `encode()`."""
    name = cls.definition.name
    if not isinstance(document, dict):
        raise EncodeError(name, "the fields are a JSON object, not %s" % _shown(document))
    readers = _readers(cls)
    return cls(**{key: readers[key](value) if key in readers else value for key, value in document.items()})


def frame_document(decoded, schema=None, direction=None):
    """The JSON object of a frame (a `korva.frame.Frame`) as every tool
    writes it: its own keys (`Frame.json_fields`) and those `message_keys`
    adds; a damaged frame's body is never decoded."""
    return {**decoded.json_fields(), **message_keys(schema if decoded.ok else None, decoded.message_id,
                                                    decoded.message_type, decoded.data, direction)}


def message_keys(schema, message_id, message_type, body, direction=None):
    """The keys a frame's JSON object gains: `direction` when given ("in":
    the line brought the frame, "out": this host's node sent it); and from
    a `TypedSchema` (None: none; pass None for a damaged frame), when it
    names (message_id, message_type), `message` and `fields`, with `extra`
    (bytes decoded past) when there are some, or `message` and
    `decode_error` (the codec's reason) when the body does not fit."""
    keys = {}
    if direction is not None:
        if direction not in DIRECTIONS:
            raise ValueError("a direction is %s, not %r" % (" or ".join(DIRECTIONS), direction))
        keys["direction"] = direction
    cls = None if schema is None else schema.message_class(message_id, message_type)
    if cls is None:
        return keys
    keys["message"] = cls.definition.name
    try:
        message = cls.decode(body)
    except DecodeError as error:
        keys["decode_error"] = str(error)
        return keys
    keys["fields"] = to_json(message)
    if message.extra:
        keys["extra"] = message.extra
    return keys


# -- Python values to JSON ----------------------------------------------------


@functools.lru_cache(maxsize=None)
def _writers(cls):
    return tuple((field.name, _each(field, _writer(field))) for field in cls.definition.fields)


def _each(field, convert):
    if field.count is None:
        return convert
    return lambda values: [convert(value) for value in values]


def _writer(field):
    wire = field.wire
    if field.type == "bytes":
        return lambda value: bytes(value).hex()
    if field.type == "string" or wire.kind == "bool":
        return _same
    if field.bits:
        names = [bit.name for bit in field.bits]
        return lambda value: {name: _named(getattr(value, name)) for name in names}
    if wire.kind == "float":
        return _f32_json if wire.size == 4 else _f64_json
    if field.scaled:
        return lambda value: None if value is None else (_f64_json(value) if isinstance(value, float) else value)
    integer = _wide_json if wire.size == _WIDE else _same
    return lambda value: None if value is None else _named(value, integer)


def _named(value, integer=None):
    """An enum member's name; any other value as it is, or as `integer` gives it."""
    if isinstance(value, enum.Enum):
        return value.name
    return value if integer is None else integer(value)


def _same(value):
    return value


def _wide_json(value):
    return str(value)


def _f64_json(value):
    if math.isfinite(value):
        return value  # repr, which json.dumps writes, is already the shortest text
    return _special(value)


def _f32_json(value):
    if not math.isfinite(value):
        return _special(value)
    packed = _F32.pack(value)
    for digits in range(1, _F32_DIGITS + 1):
        for candidate in _neighbours(value, digits):
            # Beyond the largest f32 a text could still round to it, but the
            # codec would refuse it on the way back.
            if abs(candidate) <= F32_MAX and _F32.pack(candidate) == packed:
                return candidate  # its repr has at most `digits` digits and reads back the same
    return value


def _neighbours(value, digits):
    """The decimal of `digits` significant digits nearest `value`, then the
    ones a unit of its last digit either side (near a power of two the
    nearest may miss the narrower side of the f32's interval)."""
    mantissa, exponent = ("%.*e" % (digits - 1, value)).split("e")
    nearest = int(mantissa.replace(".", ""))
    scale = int(exponent) - (digits - 1)
    for candidate in (nearest, nearest - 1, nearest + 1):
        yield float("%de%d" % (candidate, scale))


def _special(value):
    if math.isnan(value):
        return _NAN
    return _INFINITY if value > 0 else _MINUS_INFINITY


# -- JSON to Python values ----------------------------------------------------


@functools.lru_cache(maxsize=None)
def _readers(cls):
    """Field name -> a function giving, from a JSON value, what the codec
    takes; only for fields whose JSON form differs from the codec's."""
    name = cls.definition.name
    readers = {}
    for field in cls.definition.fields:
        read = _reader(field)
        if read is not None:
            readers[field.name] = _each_read(field, read, "%s.%s" % (name, field.name))
    return readers


def _each_read(field, read, path):
    if field.count is None:
        return lambda value: read(value, path)

    def convert(values):
        if not isinstance(values, list):
            return values  # the codec says what it wants instead
        return [read(value, "%s[%d]" % (path, index)) for index, value in enumerate(values)]
    return convert


def _reader(field):
    wire = field.wire
    if field.type == "bytes":
        return _hex_read
    if wire.kind == "float":
        return _float_read
    if wire.integer and wire.size == _WIDE and not field.scaled:
        return _wide_read
    return None


def _hex_read(value, path):
    if not isinstance(value, str):
        raise EncodeError(path, "bytes are a string of hex digits, not %s" % _shown(value))
    try:
        return bytes.fromhex(value)
    except ValueError:
        raise EncodeError(path, "%s is not hex bytes such as \"01ff\"" % _shown(value)) from None


def _float_read(value, _path):
    if isinstance(value, str):
        return _SPECIAL_FLOATS.get(value, value)
    return value


def _wide_read(value, _path):
    if isinstance(value, str) and _DECIMAL.match(value):
        return int(value)
    return value


def _shown(value):
    text = repr(value)
    return "%s %s" % (type(value).__name__, text if len(text) <= 40 else text[:37] + "...")
