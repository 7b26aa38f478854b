"""Golden vectors: bodies of every message of a schema with what decoding
them must give, for codecs in other languages to replay.

`write(schema, folder)` writes `<folder>/<name>.vectors`, a text file a C
program reads with `fgets` and `strtok`: lines starting with `#` are
comments, every other line is one vector of space-separated words

    MESSAGE ID TYPE STATUS EXTRA BODY REPACK [FIELD=RAW ...]

- MESSAGE, ID, TYPE: the message's name, id (0 to 59) and type number (0 to
  3);
- STATUS: `ok`, `extra` (decoded, EXTRA bytes beyond the known fields), or
  the error: `short`, `partial` (ends inside a field), `bad_bool`,
  `too_long` (variable field over its max), `bad_text` (a string that is
  not UTF-8 or holds a NUL);
- BODY: the body in lowercase hex, `-` when empty;
- REPACK: for ok and extra, the body packing the decoded fields gives
  (absent appended fields at their defaults, extra bytes dropped), else `-`;
- FIELD=RAW, for ok and extra, every field in order, as the wire holds it:
  integers (bits and enums too) in decimal, bool 0 or 1, f32/f64 as the
  hex of their IEEE bits (0x3f800000; NaN payloads exact), arrays as
  values joined by commas, bytes and strings as hex (empty after `=`).

Values stay within each field's min and max and enums at their members,
so every ok body also encodes back to REPACK in Python.
"""

import math
import os
import random
import struct

from ..errors import DecodeError
from .canonical import fingerprint
from .codec import TypedSchema
from .scaling import Scale

__all__ = ["vectors", "write", "VECTOR_FORMAT"]

VECTOR_FORMAT = 1
RANDOM_CASES = 12
SEED = 23
EXTRA_BYTES = b"\xa5\x5a"


def write(schema, folder):
    """Write the vectors of `schema` (a model `Schema`) into `folder`;
    returns the file's path."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "%s.vectors" % schema.name)
    lines = ["# korva schema vectors %d: %s revision %d fingerprint %s" % (
        VECTOR_FORMAT, schema.name, schema.revision, fingerprint(schema)),
        "# MESSAGE ID TYPE STATUS EXTRA BODY REPACK [FIELD=RAW ...]"]
    lines += [" ".join(vector) for vector in vectors(schema)]
    with open(path, "w") as file:
        file.write("\n".join(lines) + "\n")
    return path


def vectors(schema):
    """Every vector of `schema`, each a list of the words of its line."""
    typed = TypedSchema(schema)
    rows = []
    for message in schema.messages:
        layout = _Layout(schema, message)
        for body in layout.bodies():
            rows.append(_row(typed, message, layout, body))
    return rows


def _row(typed, message, layout, body):
    head = [message.name, str(message.id), str(message.type_number)]
    try:
        decoded = typed.decode(message.id, message.type_number, body)
    except DecodeError as error:
        return head + [error.status, "0", body.hex() or "-", "-"]
    repack = decoded.encode()
    status = "extra" if decoded.extra else "ok"
    return head + [status, str(decoded.extra), body.hex() or "-", repack.hex() or "-"] + layout.fields(repack)


class _Layout:
    """One message's raw values: the bodies to try and the fields a body
    holds on the wire."""

    def __init__(self, schema, message):
        self.schema = schema
        self.message = message
        self.fixed = [field for field in message.fields if not field.variable]
        self.variable = message.variable
        self.struct = struct.Struct("<" + "".join("%s%s" % (field.count or "", _code(field))
                                                  for field in self.fixed))

    def bodies(self):
        rng = random.Random("%d %s" % (SEED, self.message.name))
        longest = self.variable.max if self.variable is not None else 0
        low = self.body(lambda choices: choices[0], 0)
        high = self.body(lambda choices: choices[-1], longest)
        chosen = [low, high] + [self.body(rng.choice, rng.randint(0, longest)) for _ in range(RANDOM_CASES)]
        if any(field.invalid is not None for field in self.fixed):
            chosen.append(self.body(lambda choices: choices[0], 0, invalid=True))
        bodies = chosen + self.cut(high) + ([] if self.message.sealed else [high + EXTRA_BYTES]) + self.broken(high)
        return list(dict.fromkeys(bodies))  # each body once, in order

    def body(self, pick, length, invalid=False):
        flat = []
        for field in self.fixed:
            value = field.invalid if invalid and field.invalid is not None else None
            flat += [pick(self.choices(field)) if value is None else value for _ in range(field.elements)]
        body = self.struct.pack(*flat)
        if self.variable is not None:
            body += _variable_bytes(self.variable, length)
        return body


    def choices(self, field):
        """Raw values the field may take within its limits, lowest first."""
        if field.bits:
            return [sum(values[0] << bit.shift for bit, values in self.bit_choices(field)),
                    sum(values[-1] << bit.shift for bit, values in self.bit_choices(field))]
        if field.enum is not None:
            return sorted(value.value for value in self.schema.enum(field.enum).values)
        if field.type == "bool":
            return [0, 1]
        if field.wire.kind == "float":
            return _float_choices(field)
        low, high = _raw_bounds(field)
        middle = [value for value in (0, 1, -1, (low + high) // 2) if low < value < high and value != field.invalid]
        return [low] + middle + [high]

    def bit_choices(self, field):
        for bit in field.bits:
            if bit.enum is not None:
                yield bit, sorted(value.value for value in self.schema.enum(bit.enum).values)
            else:
                yield bit, [0, (1 << bit.width) - 1]

    def cut(self, full):
        """The full body cut at every field boundary and inside every field."""
        bodies, offset = [], 0
        for field in self.fixed:
            bodies.append(full[:offset])
            if field.size > 1:
                bodies.append(full[:offset + field.size // 2])
            offset += field.size
        return [body for body in bodies if body != full]

    def broken(self, high):
        """Bodies with one wrong byte: a bool of 2, text that is not UTF-8 or
        holds a NUL, a variable field one byte over its max."""
        bodies, offset = [], 0
        for field in self.fixed:
            if field.type == "bool":
                bodies.append(high[:offset] + b"\x02" + high[offset + 1:])
            offset += field.size
        variable = self.variable
        if variable is not None:
            if variable.type == "string" and variable.max >= 2:
                bodies += [high[:offset] + b"a\xff", high[:offset] + b"a\x00"]
            if offset + variable.max < 255:
                bodies.append(high[:offset] + b"a" * (variable.max + 1))
        return bodies

    def fields(self, body):
        """FIELD=RAW words of a complete body."""
        raw = list(self.struct.unpack_from(body))
        words = []
        for field in self.fixed:
            values, raw = raw[:field.elements], raw[field.elements:]
            words.append("%s=%s" % (field.name, ",".join(_raw_text(field, value) for value in values)))
        if self.variable is not None:
            words.append("%s=%s" % (self.variable.name, body[self.message.fixed_size:].hex()))
        return words


def _code(field):
    return "B" if field.type == "bool" else field.wire.code


def _raw_bounds(field):
    """The lowest and highest raw values whose physical values keep within
    min and max and are not the invalid sentinel."""
    wire = field.wire
    scale = Scale(field.scale, field.offset)
    low, high = wire.low, wire.high
    for limit in (field.min, field.max):
        if limit is None:
            continue
        raw = scale.raw(limit)
        if (limit is field.min) == (field.scale > 0):
            low = max(low, raw)
        else:
            high = min(high, raw)

    def inside(raw):
        physical = scale.physical(raw)
        return (raw != field.invalid and (field.min is None or physical >= field.min)
                and (field.max is None or physical <= field.max))
    while not inside(low):
        low += 1
    while not inside(high):
        high -= 1
    return low, high


def _float_choices(field):
    wire = field.wire
    low = wire.low if field.min is None else _inward(field, field.min, 1)
    high = wire.high if field.max is None else _inward(field, field.max, -1)
    inner = [value for value in (0.0, -0.0, 1.5, -1.5, 1e-30, math.ldexp(1.0, -149)) if low < value < high]
    if field.min is None and field.max is None:
        inner += [math.inf, -math.inf, math.nan]
    return [low] + inner + [high]


def _inward(field, limit, direction):
    """`limit` as the field's type holds it, moved inside if rounding took
    it out."""
    value = _stored(field, limit)
    while (value - limit) * direction < 0:
        value = _stored(field, math.nextafter(value, direction * math.inf) if field.type == "f64" else
                        value + direction * max(abs(value) * 2 ** -23, 2 ** -149))
    return value


def _stored(field, value):
    return struct.unpack("<" + field.wire.code, struct.pack("<" + field.wire.code, value))[0]


def _variable_bytes(field, length):
    if field.type == "bytes":
        return bytes((index * 37) & 0xFF for index in range(length))
    return ("\u00e9" * (length // 2) + "a" * (length % 2)).encode("utf-8")  # two-byte characters up to max


def _raw_text(field, value):
    if field.type == "f32":
        return "0x%08x" % struct.unpack("<I", struct.pack("<f", value))[0]
    if field.type == "f64":
        return "0x%016x" % struct.unpack("<Q", struct.pack("<d", value))[0]
    return str(int(value))
