"""Encoding and decoding message bodies as a schema describes them.

`TypedSchema(model)` builds, once, a class per message (see `record`) with a
precompiled `struct.Struct` per length a body may have; `encode()` checks
every value before anything is packed, so nothing is truncated, padded or
wrapped; `decode` checks the body the same way. Python values:

- integers as int; an enum field's value as its `IntEnum` member (an int
  no member has stays an int); a scaled field's as float (int when scale
  and offset are integers); an `invalid` sentinel as None;
- f32/f64 as float; bool as bool; arrays as lists;
- bits as an instance of the field's bits class (one attribute per bit:
  bool for a 1-bit run without enum, else int or the enum's member); a dict
  of bit names is also taken when encoding;
- string as str (UTF-8, no NUL), bytes as bytes.

A decoded instance also has `extra`: bytes beyond the known fields (0 when
none, always 0 for a message that ends in a variable field).
"""

import enum
import math
import struct

from .. import frame
from ..errors import DecodeError, EncodeError
from .canonical import canonical, fingerprint
from .model import BUILTIN_MESSAGES, F64_MAX
from .record import Record, record_class
from .scaling import Scale

__all__ = ["TypedSchema", "TypedMessage", "frame_of", "reply_decoder"]


class TypedSchema:
    """A loaded schema: `model` (the `model.Schema`), `name`, `revision`,
    `canonical` (JSON text), `fingerprint` (8 hex digits), `enums` (name ->
    IntEnum class) and `messages` (name -> message class, the engine's own
    ids 60 to 63 included)."""

    def __init__(self, model):
        self.model = model
        self.name = model.name
        self.revision = model.revision
        self.canonical = canonical(model)
        self.fingerprint = fingerprint(model)
        self.enums = {item.name: enum.IntEnum(item.name, [(value.name, value.value) for value in item.values])
                      for item in model.enums}
        classes = [_message_class(message, self.enums) for message in model.messages + BUILTIN_MESSAGES]
        self.messages = {cls.definition.name: cls for cls in classes}
        for cls in classes:
            if cls.definition.reply is not None:
                cls._reply = self.messages[cls.definition.reply]
        self._by_key = {(cls.definition.id, cls.definition.type_number): cls for cls in classes}

    def message_class(self, message_id, message_type):
        """The class of the message with this id and type (0 to 3, or its
        name), or None."""
        if isinstance(message_type, str):
            message_type = frame.type_number(message_type)
        return self._by_key.get((message_id, message_type))

    def decode(self, message_id, message_type, body):
        """The message with this id and type (0 to 3, or its name) decoded
        from `body`; DecodeError when no message has them or the body does
        not fit."""
        cls = self.message_class(message_id, message_type)
        if cls is None:
            raise DecodeError(self.name, "no message has id %r and type %r" % (message_id, message_type),
                              "unknown")
        return cls.decode(body)

    def __repr__(self):
        return "<TypedSchema %s revision %d, fingerprint %s>" % (self.name, self.revision, self.fingerprint)


class TypedMessage(Record):
    """Base of the message classes: `definition` is the `model.Message`;
    `encode()` gives the body and the class method `decode(body)` an
    instance. Both are straight-line code written for each message (see
    `_message_code`)."""

    __slots__ = ("extra",)
    definition = None
    _reply = None  # a request's response class

    def __init__(self, **values):
        super().__init__(**values)
        self.extra = 0


def frame_of(message):
    """(message_type, message_id, body) of the frame that carries `message`,
    an instance of a message class; EncodeError before anything is built
    when a value does not fit."""
    definition = message.definition
    return definition.type_number, definition.id, message.encode()


def reply_decoder(message):
    """The function that decodes the reply to the request `message` from a
    body; ValueError for a message that is not a request with a reply."""
    reply = type(message)._reply
    if reply is None:
        raise ValueError("%s is a %s, not a request with a reply" % (message.definition.name,
                                                                     message.definition.type))
    return reply.decode


def _message_class(definition, enums):
    elements = [_element(definition.name, field, enums) for field in definition.fields]
    defaults = {element.name: element.default for element in elements}
    normal = {element.name: element.normal for element in elements if element.normal is not None}
    namespace = dict(definition=definition, _normal=normal,
                     __doc__=definition.doc or "The %s %s, id %d." % (definition.type, definition.name,
                                                                      definition.id))
    namespace.update(_message_code(definition, elements))
    return record_class(definition.name, definition.name, [element.name for element in elements], defaults,
                        TypedMessage, namespace)


def _message_code(definition, elements):
    """`encode` and `decode` for one message, as Python source compiled once:
    a fixed-layout body is one `struct` call, and each value is checked
    inline where a plain type and range suffice, by its element otherwise."""
    fixed = [element for element in elements if not element.field.variable]
    variable = elements[-1] if definition.sealed else None
    codes = ["%s%s" % (element.field.count or "", element.code) for element in fixed]
    scope = {"new": object.__new__, "EncodeError": EncodeError}
    prefixes, size, present = {}, 0, 0
    for element in fixed:
        if size >= definition.min_size:
            prefixes[size] = (struct.Struct("<" + "".join(codes[:present])).unpack_from, present)
        size += element.field.size
        present += 1
    full = struct.Struct("<" + "".join(codes))
    prefixes[size] = (full.unpack_from, present)
    scope.update(prefixes=prefixes, pack=full.pack, longer=_longer(definition, full.unpack_from, present))

    encode = ["def encode(self):"]
    decode = ["def decode(cls, body):",
              "    plan = prefixes.get(len(body))",
              "    if plan is None:",
              "        unpack, present, extra, tail = longer(body)",
              "    else:",
              "        (unpack, present), extra, tail = plan, 0, b''",
              "    raw = unpack(body)",
              "    self = new(cls)"]
    packed, index = [], 0
    for number, element in enumerate(fixed):
        field = element.field
        scope.update({"to_raw_%d" % number: element.to_raw, "path_%d" % number: element.path,
                      "from_raw_%d" % number: element.from_raw, "absent_%d" % number: element.absent})
        encode.append("    v%d = self.%s" % (number, element.name))
        if field.count is None:
            encode += _checked(element, number, scope)
            packed.append("v%d" % number)
            value = "raw[%d]" % index
            if element.from_raw is not None:
                value = "from_raw_%d(%s)" % (number, value)
        else:
            scope["array_%d" % number] = _array_raw(element)
            encode.append("    v%d = array_%d(v%d)" % (number, number, number))
            packed.append("*v%d" % number)
            value = "raw[%d:%d]" % (index, index + field.count)
            value = ("list(%s)" % value if element.from_raw is None else
                     "[from_raw_%d(item) for item in %s]" % (number, value))
        if field.since > definition.since:
            value = "%s if present > %d else absent_%d()" % (value, number, number)
        decode.append("    self.%s = %s" % (element.name, value))
        index += field.elements
    encode.append("    body = pack(%s)" % ", ".join(packed))
    if variable is not None:
        scope.update(variable_to_raw=variable.to_raw, variable_from_raw=variable.from_raw)
        encode.append("    body += variable_to_raw(self.%s, %r)" % (variable.name, variable.path))
        decode.append("    self.%s = variable_from_raw(tail)" % variable.name)
    encode.append("    return body")
    decode += ["    self.extra = extra", "    return self"]
    exec("\n".join(encode + decode), scope)
    return {"encode": scope["encode"], "decode": classmethod(scope["decode"])}


def _checked(element, number, scope):
    """Source lines that leave in vN the raw value of vN."""
    fast = element.fast()
    if fast is None:
        return ["    v{0} = to_raw_{0}(v{0}, path_{0})".format(number)]
    kind, low, high = fast
    scope.update({"kind_%d" % number: kind, "low_%d" % number: low, "high_%d" % number: high})
    return ["    if not (type(v{0}) is kind_{0} and low_{0} <= v{0} <= high_{0}):".format(number),
            "        v{0} = to_raw_{0}(v{0}, path_{0})".format(number)]


def _array_raw(element):
    count, to_raw, path = element.field.count, element.to_raw, element.path
    kind, low, high = element.fast() or (None, 0, 0)

    def array_raw(value):
        if not isinstance(value, (list, tuple)) or len(value) != count:
            raise EncodeError(path, "must be a list of %d values, not %s" % (count, _shown(value)))
        if all(type(item) is kind and low <= item <= high for item in value):
            return value
        return [to_raw(item, "%s[%d]" % (path, index)) for index, item in enumerate(value)]
    return array_raw


def _longer(definition, unpack, present):
    """What a body of a length no prefix has holds: every fixed field, then
    the variable field's bytes or extra bytes; DecodeError when it is
    shorter than the first revision's fields or ends inside one."""
    min_size, fixed_size, sealed = definition.min_size, definition.fixed_size, definition.sealed

    def longer(body):
        length = len(body)
        if length < min_size:
            raise DecodeError(definition.name, "%s, fewer than the %d it always has" % (_bytes(length), min_size),
                              "short")
        if length < fixed_size:
            raise DecodeError(_cut_field(definition, length), "the body ends inside it, after %s" % _bytes(length),
                              "partial")
        if sealed:
            return unpack, present, 0, bytes(body[fixed_size:])
        return unpack, present, length - fixed_size, b""
    return longer


def _cut_field(definition, length):
    offset = 0
    for field in definition.fields:
        offset += field.size
        if offset > length:
            return "%s.%s" % (definition.name, field.name)
    return definition.name


def _bytes(count):
    return "1 byte" if count == 1 else "%d bytes" % count


# -- one field's values ------------------------------------------------------


class _Element:
    """Checks and converts one field's values (each element of an array).
    `to_raw(value, path)` gives what `struct` packs; `from_raw` turns an
    unpacked value back, or is None when the two are the same."""

    from_raw = None
    normal = None  # what a constructor does to a given value (a name to its member, ...)

    def __init__(self, message_name, field):
        self.field = field
        self.name = field.name
        self.path = "%s.%s" % (message_name, field.name)
        self.code = field.wire.code

    def finish(self):
        """Defaults, once `from_raw` is known: an absent field decodes from
        its raw default; a constructor takes the same value."""
        convert = self.from_raw or (lambda raw: raw)
        value = convert(self.field.raw_default)
        if self.field.count is not None:
            self.absent = lambda: [value] * self.field.count
        elif isinstance(value, Record):
            self.absent = lambda: convert(self.field.raw_default)
        else:
            self.absent = lambda: value
        self.default = self.absent if self.field.default is not None or self.field.variable else None
        if self.field.count is not None:
            one = self.normal or (lambda item: item)
            self.normal = lambda value: [one(item) for item in value] if isinstance(value, (list, tuple)) else value
        return self

    def fast(self):
        """(type, low, high) when a value of exactly that type within the
        bounds is its own raw value, or None."""
        return None

    def bounds(self):
        """The wire type's range narrowed by min and max."""
        field, wire = self.field, self.field.wire
        low = wire.low if field.min is None else max(wire.low, field.min)
        high = wire.high if field.max is None else min(wire.high, field.max)
        return low, high

    def limits(self, value, path):
        field = self.field
        if field.min is not None and not value >= field.min:
            raise EncodeError(path, "%r is below the minimum %r" % (value, field.min))
        if field.max is not None and not value <= field.max:
            raise EncodeError(path, "%r is above the maximum %r" % (value, field.max))


class _Integer(_Element):
    def __init__(self, message_name, field, enum_class):
        super().__init__(message_name, field)
        self.enum_class = enum_class
        self.scale = Scale(field.scale, field.offset) if field.scaled else None
        self.members = members = _members(enum_class)
        if enum_class is not None:
            self.from_raw = lambda raw: members.get(raw, raw)
            self.normal = lambda value: _enum_normal(enum_class, members, value)
        elif self.scale is not None:
            physical, invalid = self.scale.physical, field.invalid
            self.from_raw = lambda raw: None if raw == invalid else physical(raw)
        elif field.invalid is not None:
            invalid = field.invalid
            self.from_raw = lambda raw: None if raw == invalid else raw

    def fast(self):
        if self.enum_class is not None:
            return (self.enum_class,) + self.bounds()  # the loader saw every member fit
        if self.scale is not None or self.field.invalid is not None:
            return None
        return (int,) + self.bounds()

    def to_raw(self, value, path):
        field, wire = self.field, self.field.wire
        if value is None and field.invalid is not None:
            return field.invalid
        if self.enum_class is not None:
            return _enum_raw(self.enum_class, self.members, value, path)
        if self.scale is not None:
            _check_number(value, path)
            self.limits(value, path)
            raw = self.scale.raw(value)
        else:
            if not isinstance(value, int) or isinstance(value, bool):
                raise EncodeError(path, "must be an integer, not %s" % _shown(value))
            self.limits(value, path)
            raw = value
        if not wire.low <= raw <= wire.high:
            raise EncodeError(path, "%r is raw %d, outside %s's %d to %d" % (value, raw, wire.name, wire.low,
                                                                             wire.high)
                              if self.scale is not None else
                              "%d is outside %s's %d to %d" % (raw, wire.name, wire.low, wire.high))
        if raw == field.invalid:
            raise EncodeError(path, "%r is the invalid value %d; None stands for it" % (value, raw))
        return raw


class _Float(_Element):
    def fast(self):
        return (float,) + self.bounds()

    def to_raw(self, value, path):
        _check_number(value, path, finite=False)
        value = float(value)
        wire = self.field.wire
        if math.isfinite(value) and not wire.low <= value <= wire.high:
            raise EncodeError(path, "%r is beyond the largest %s, %r" % (value, wire.name, wire.high))
        self.limits(value, path)
        return value


class _Bool(_Element):
    def __init__(self, message_name, field):
        super().__init__(message_name, field)
        self.code = "B"  # struct's "?" takes any byte as True
        path = self.path

        def from_raw(raw):
            if raw > 1:
                raise DecodeError(path, "bool byte %d is neither 0 nor 1" % raw, "bad_bool")
            return raw == 1
        self.from_raw = from_raw

    def fast(self):
        return bool, False, True

    def to_raw(self, value, path):
        return _bit_raw(value, path)


class _Bits(_Element):
    def __init__(self, message_name, field, enums):
        super().__init__(message_name, field)
        self.bits = [(bit, enums.get(bit.enum), _members(enums.get(bit.enum)), "%s.%s" % (self.path, bit.name))
                     for bit in field.bits]
        defaults = {bit.name: (lambda zero=_bit_value(bit, members, 0): zero) for bit, _, members, _ in self.bits}
        normal = {bit.name: (lambda value, enum_class=enum_class, members=members:
                             _enum_normal(enum_class, members, value))
                  for bit, enum_class, members, _ in self.bits if enum_class is not None}
        self.bits_class = record_class(field.name, self.path, [bit.name for bit in field.bits], defaults,
                                       namespace={"_normal": normal, "_kind": "bit"})
        self.normal = lambda value: self.bits_class(**value) if isinstance(value, dict) else value
        new, bits = object.__new__, self.bits

        def from_raw(raw):
            value = new(self.bits_class)
            for bit, _, members, _ in bits:
                setattr(value, bit.name, _bit_value(bit, members, (raw >> bit.shift) & ((1 << bit.width) - 1)))
            return value
        self.from_raw = from_raw

    def to_raw(self, value, path):
        if isinstance(value, dict):
            value = self.bits_class(**value)
        elif not isinstance(value, self.bits_class):
            raise EncodeError(path, "must be a %s or a dict of its bits, not %s" % (self.bits_class.__name__,
                                                                                 _shown(value)))
        raw = 0
        for bit, enum_class, members, bit_path in self.bits:
            part = getattr(value, bit.name)
            if enum_class is not None:
                part = _enum_raw(enum_class, members, part, bit_path)
            elif bit.width == 1:
                part = _bit_raw(part, bit_path)
            elif not isinstance(part, int) or isinstance(part, bool) or not 0 <= part < 1 << bit.width:
                raise EncodeError(bit_path, "%s does not fit %d bits (0 to %d)" % (_shown(part), bit.width,
                                                                                  (1 << bit.width) - 1))
            raw |= part << bit.shift
        return raw


def _bit_value(bit, members, part):
    """A run of bits as Python sees it: its enum member, a bool for a lone
    bit, else the int."""
    if members is not None:
        return members.get(part, part)
    return part == 1 if bit.width == 1 else part


class _Variable(_Element):
    def __init__(self, message_name, field):
        super().__init__(message_name, field)
        text = field.type == "string"
        self.kind = (str,) if text else (bytes, bytearray, memoryview)
        path, longest = self.path, field.max

        def from_raw(raw):
            if len(raw) > longest:
                raise DecodeError(path, "%d bytes, more than its max %d" % (len(raw), longest), "too_long")
            if not text:
                return raw
            if b"\0" in raw:
                raise DecodeError(path, "the text holds a NUL byte", "bad_text")
            try:
                return raw.decode("utf-8")
            except UnicodeDecodeError as error:
                raise DecodeError(path, "not UTF-8: %s" % error.reason, "bad_text") from None
        self.from_raw = from_raw

    def to_raw(self, value, path):
        if not isinstance(value, self.kind):
            raise EncodeError(path, "must be %s, not %s" % (self.kind[0].__name__, _shown(value)))
        if isinstance(value, str):
            if "\0" in value:
                raise EncodeError(path, "the text holds a NUL character")
            try:
                value = value.encode("utf-8")
            except UnicodeEncodeError as error:
                raise EncodeError(path, "not encodable as UTF-8: %s" % error.reason) from None
        if len(value) > self.field.max:
            raise EncodeError(path, "%d bytes%s, more than its max %d" % (
                len(value), " of UTF-8" if self.field.type == "string" else "", self.field.max))
        return bytes(value)


def _element(message_name, field, enums):
    kind = field.wire.kind
    if field.variable:
        element = _Variable(message_name, field)
    elif field.bits:
        element = _Bits(message_name, field, enums)
    elif kind == "bool":
        element = _Bool(message_name, field)
    elif kind == "float":
        element = _Float(message_name, field)
    else:
        element = _Integer(message_name, field, enums.get(field.enum))
    return element.finish()


def _members(enum_class):
    """Value -> member, or None without an enum."""
    return None if enum_class is None else {member.value: member for member in enum_class}


def _enum_normal(enum_class, members, value):
    if isinstance(value, str):
        return enum_class.__members__.get(value, value)
    return members.get(value, value) if type(value) is int else value


def _check_number(value, path, finite=True):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise EncodeError(path, "must be a number, not %s" % _shown(value))
    if isinstance(value, int) and abs(value) > F64_MAX:
        raise EncodeError(path, "%s is beyond the largest f64, %r" % (_shown(value), F64_MAX))
    if finite and isinstance(value, float) and not math.isfinite(value):
        raise EncodeError(path, "must be a finite number, not %r" % value)


def _bit_raw(value, path):
    if value is True or value is False or (type(value) is int and value in (0, 1)):
        return int(value)
    raise EncodeError(path, "must be true or false (or 0 or 1), not %s" % _shown(value))


def _enum_raw(enum_class, members, value, path):
    """The raw value of an enum member, its name or its number; `members`
    maps numbers to members."""
    if type(value) is enum_class:
        return value
    member = None
    if isinstance(value, str):
        member = enum_class.__members__.get(value)
    elif isinstance(value, int) and not isinstance(value, bool):
        member = members.get(value)
    if member is None:
        raise EncodeError(path, "%s is not a %s (%s)" % (_shown(value), enum_class.__name__, ", ".join(
            "%s=%d" % (name, member.value) for name, member in enum_class.__members__.items())))
    return member.value


def _shown(value):
    text = repr(value)
    return "%s %s" % (type(value).__name__, text if len(text) <= 40 else text[:37] + "...")
