"""The description of a schema: plain frozen data, built by `korva.schema.loader`
and read by the codec, the checker and the code generators.

Objects and their attributes (stable names; every file key is an attribute of
the same name):

- `Schema`: `format` (language version, 1), `name`, `revision` (1 up),
  `enums` (tuple of `Enum`), `messages` (tuple of `Message` in file order,
  ids 0 to 59 only), `source` (the file it came from, not compared).
  `message(name)`, `enum(name)` and `find(message_id, message_type)` look
  elements up (None when absent); `builtin_messages()` are the engine's.
- `Enum`: `name`, `values` (tuple of `EnumValue`: `name`, `value`, `since`,
  `doc`); `by_name(name)`, `by_value(number)`.
- `Message`: `name`, `id` (0 to 59 in a schema; 60 to 63 built in), `type`
  ("write", "request", "response", "indicate"), `fields` (tuple of `Field`
  in wire order), `reply` (a request's response name, or None), `since`,
  `doc`. Derived: `type_number` (0 to 3), `min_size` (the fields of the
  message's first revision), `fixed_size` (every fixed field), `max_size`
  (with the variable field at its longest), `variable` (the trailing
  bytes/string field or None), `sealed` (ends in a variable field, so it
  can never grow), `builtin`.
- `Field`: `name`, `type` (see `TYPES`), `count` (fixed array length or
  None), `enum` (an enum name or None), `bits` (tuple of `Bit`, LSB first),
  `scale` and `offset` (physical = raw * scale + offset; 1 and 0 when not
  scaled), `unit`, `min`/`max` (physical limits, or None; on a bytes/string
  field `max` is its longest length in bytes), `invalid` (a raw sentinel
  that decodes to None, or None), `default` (physical value, an enum value
  as its integer, a bits field as its raw integer; None when the file gives
  none; an array's default is each element's), `since`, `doc`. Derived:
  `wire` (the `WireType`), `variable`, `size` (bytes on the wire; 0 for a
  variable field), `elements` (count or 1), `scaled`, `raw_default` (the
  wire value of an absent field, per element: what C code stores).
- `Bit`: `name`, `width`, `enum`, `since`, `doc`, `shift` (its lowest bit
  in the field, derived from the order) and `mask` (its bits in place).
  Bits not covered are zero when encoded and ignored when decoded.

`since` defaults to what an element belongs to: a field to its message, a
bit to its field; a message, an enum value to 1. Fields without `default`
must be given when a message is built; an absent appended field decodes to
`raw_default`. A variable field takes no `default`: absent means empty.

Numbers are normalised: a float with an integral value is stored as an int,
so `scale = 2` and `"scale": 2.0` describe the same schema.
"""

from dataclasses import dataclass, field
from typing import Optional, Tuple, Union

from .. import frame
from .scaling import Scale

__all__ = [
    "FORMAT", "MAX_BODY", "FIRST_BUILTIN_ID", "MESSAGE_TYPES", "WireType", "TYPES", "VARIABLE_TYPES",
    "Bit", "Field", "EnumValue", "Enum", "Message", "Schema", "BUILTIN_MESSAGES",
]

FORMAT = 1                              # the schema language version this package reads
MAX_BODY = frame.MAX_PAYLOAD
FIRST_BUILTIN_ID = frame.FIRST_RESERVED_ID
MESSAGE_TYPES = frame.TYPE_NAMES

Number = Union[int, float]


@dataclass(frozen=True)
class WireType:
    """One field type: its `struct` code, size in bytes, kind ("unsigned",
    "signed", "float", "bool", "bytes", "string") and value range."""

    name: str
    code: str
    size: int
    kind: str
    low: Number = 0
    high: Number = 0

    @property
    def integer(self):
        """True for the u* and i* types."""
        return self.kind in ("unsigned", "signed")


F32_MAX = 3.4028234663852886e38
F64_MAX = 1.7976931348623157e308


def _integer(name, code, size):
    signed = name.startswith("i")
    bits = 8 * size
    low, high = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)
    return WireType(name, code, size, "signed" if signed else "unsigned", low, high)


TYPES = {wire.name: wire for wire in (
    _integer("u8", "B", 1), _integer("i8", "b", 1), _integer("u16", "H", 2), _integer("i16", "h", 2),
    _integer("u32", "I", 4), _integer("i32", "i", 4), _integer("u64", "Q", 8), _integer("i64", "q", 8),
    WireType("f32", "f", 4, "float", -F32_MAX, F32_MAX), WireType("f64", "d", 8, "float", -F64_MAX, F64_MAX),
    WireType("bool", "?", 1, "bool", 0, 1),
    WireType("bytes", "", 0, "bytes"), WireType("string", "", 0, "string"),
)}
VARIABLE_TYPES = ("bytes", "string")


@dataclass(frozen=True)
class Bit:
    """A run of bits of an unsigned field, LSB first."""

    name: str
    width: int = 1
    enum: Optional[str] = None
    since: int = 1
    doc: str = ""
    shift: int = 0

    @property
    def mask(self):
        """The bits this one covers, in place."""
        return ((1 << self.width) - 1) << self.shift


@dataclass(frozen=True)
class Field:
    """One field of a message, in wire order."""

    name: str
    type: str
    count: Optional[int] = None
    enum: Optional[str] = None
    bits: Tuple[Bit, ...] = ()
    scale: Number = 1
    offset: Number = 0
    unit: str = ""
    min: Optional[Number] = None
    max: Optional[Number] = None
    invalid: Optional[int] = None
    default: Union[None, Number, bool, str] = None
    since: int = 1
    doc: str = ""

    @property
    def wire(self):
        """The field's `WireType`."""
        return TYPES[self.type]

    @property
    def variable(self):
        """True for the trailing bytes/string field."""
        return self.type in VARIABLE_TYPES

    @property
    def elements(self):
        """Values on the wire: the array length, or 1."""
        return 1 if self.count is None else self.count

    @property
    def size(self):
        """Bytes on the wire; 0 for a variable field."""
        return self.wire.size * self.elements

    @property
    def scaled(self):
        """True when physical values differ from raw ones."""
        return self.scale != 1 or self.offset != 0

    @property
    def raw_default(self):
        """What an absent field holds on the wire, per element: the raw
        value of `default`, else zero (empty bytes for a variable field)."""
        kind = self.wire.kind
        if self.variable:
            return b""
        if kind == "bool":
            return bool(self.default)
        if kind == "float":
            return float(self.default or 0)
        if self.default is None:
            return 0
        return Scale(self.scale, self.offset).raw(self.default) if self.scaled else self.default


@dataclass(frozen=True)
class EnumValue:
    """One named value of an enum."""

    name: str
    value: int
    since: int = 1
    doc: str = ""


@dataclass(frozen=True)
class Enum:
    """Named integers, used by integer fields and bits."""

    name: str
    values: Tuple[EnumValue, ...]

    def by_name(self, name):
        """The `EnumValue` called `name`, or None."""
        return next((value for value in self.values if value.name == name), None)

    def by_value(self, number):
        """The `EnumValue` of `number`, or None."""
        return next((value for value in self.values if value.value == number), None)


@dataclass(frozen=True)
class Message:
    """One message: an id and type, and its fields in wire order."""

    name: str
    id: int
    type: str
    fields: Tuple[Field, ...] = ()
    reply: Optional[str] = None
    since: int = 1
    doc: str = ""

    @property
    def type_number(self):
        """The message type as the frame carries it (0 to 3)."""
        return MESSAGE_TYPES.index(self.type)

    @property
    def builtin(self):
        """True for the engine's messages (ids 60 to 63)."""
        return self.id >= FIRST_BUILTIN_ID

    @property
    def variable(self):
        """The trailing bytes/string field, or None."""
        return self.fields[-1] if self.fields and self.fields[-1].variable else None

    @property
    def sealed(self):
        """True when the message ends in a variable field: its length is
        the variable field's, so it can never grow."""
        return self.variable is not None

    @property
    def fixed_size(self):
        """Bytes of every fixed field."""
        return sum(item.size for item in self.fields)

    @property
    def min_size(self):
        """Bytes of the fixed fields the message had when it was added."""
        return sum(item.size for item in self.fields if item.since <= self.since)

    @property
    def max_size(self):
        """The longest body: every field, a variable one at its `max`."""
        variable = self.variable
        return self.fixed_size + (variable.max if variable is not None else 0)


@dataclass(frozen=True)
class Schema:
    """A schema: its enums and messages (see the module docstring)."""

    name: str
    revision: int
    enums: Tuple[Enum, ...] = ()
    messages: Tuple[Message, ...] = ()
    format: int = FORMAT
    source: str = field(default="", compare=False)

    def message(self, name):
        """The `Message` called `name` (built-in ones included), or None."""
        return next((item for item in self.messages + BUILTIN_MESSAGES if item.name == name), None)

    def enum(self, name):
        """The `Enum` called `name`, or None."""
        return next((item for item in self.enums if item.name == name), None)

    def find(self, message_id, message_type):
        """The `Message` with this id and type (a number 0 to 3 or its
        name), built-in ones included, or None."""
        if isinstance(message_type, int):
            message_type = MESSAGE_TYPES[message_type] if 0 <= message_type < len(MESSAGE_TYPES) else None
        return next((item for item in self.messages + BUILTIN_MESSAGES
                     if item.id == message_id and item.type == message_type), None)

    @staticmethod
    def builtin_messages():
        """The engine's own requests and responses, ids 60 to 63."""
        return BUILTIN_MESSAGES


def _builtin():
    """Ids 60 to 62: an empty request answered with an empty response; 63: an
    empty request answered with the engine's version, a u32."""
    messages = []
    for message_id in range(FIRST_BUILTIN_ID, frame.VERSION_REQUEST_ID):
        name = "engine_%d" % message_id
        messages += [Message(name, message_id, "request", reply=name + "_reply"),
                     Message(name + "_reply", message_id, "response")]
    version = "engine_version"
    messages += [Message(version, frame.VERSION_REQUEST_ID, "request", reply=version + "_reply"),
                 Message(version + "_reply", frame.VERSION_REQUEST_ID, "response", (Field("version", "u32"),))]
    return tuple(messages)


BUILTIN_MESSAGES = _builtin()
