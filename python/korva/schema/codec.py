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
    IntEnum class), `messages` (name -> message class, the engine's own
    ids 60 to 63 included) and `decode(message_id, message_type, body)`."""

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
        self.decode = self._decoder()

    def message_class(self, message_id, message_type):
        """The class of the message with this id and type (0 to 3, or its
        name), or None."""
        if isinstance(message_type, str):
            message_type = frame.type_number(message_type)
        return self._by_key.get((message_id, message_type))

    def _decoder(self):
        """`decode`: a function of its own, as it is called for every frame,
        with one lookup by type number or name."""
        decoders = {(key[0], kind): cls.decode for key, cls in self._by_key.items()
                    for kind in (key[1], cls.definition.type)}
        name = self.name

        def decode(message_id, message_type, body):
            """The message with this id and type (0 to 3, or its name)
            decoded from `body`; DecodeError when no message has them or the
            body does not fit."""
            try:
                decode_body = decoders[message_id, message_type]
            except KeyError:
                if isinstance(message_type, str):
                    frame.type_number(message_type)  # ValueError for a name no type has
                raise DecodeError(name, "no message has id %r and type %r" % (message_id, message_type),
                                  "unknown") from None
            return decode_body(body)
        return decode

    def __repr__(self):
        return "<TypedSchema %s revision %d, fingerprint %s>" % (self.name, self.revision, self.fingerprint)


class TypedMessage(Record):
    """Base of the message classes: `definition` is the `model.Message`;
    `encode()` gives the body and `decode(body)`, called on the class, an
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
    elements = [_element(definition.name, number, field, enums) for number, field in enumerate(definition.fields)]
    defaults = {element.name: element.default for element in elements}
    normal = {element.name: element.normal for element in elements if element.normal is not None}
    namespace = dict(definition=definition, _normal=normal,
                     __doc__=definition.doc or "The %s %s, id %d." % (definition.type, definition.name,
                                                                      definition.id))
    code = _message_code(definition, elements)
    namespace.update(encode=code["encode"], decode=staticmethod(code["decode"]))
    code["cls"] = cls = record_class(definition.name, definition.name, [element.name for element in elements],
                                     defaults, TypedMessage, namespace)
    return cls


def _message_code(definition, elements):
    """`encode` and `decode` for one message, as Python source compiled once
    in the scope returned, where `cls` is to name the class: the fixed
    fields are one `struct` call, and each value is checked and converted
    inline where a plain type and range suffice, by its element otherwise."""
    fixed = [element for element in elements if not element.field.variable]
    variable = elements[-1] if definition.sealed else None
    full = struct.Struct("<" + "".join(_code(element) for element in fixed))
    scope = {"new": object.__new__, "numbers": (int, float), "pack": full.pack, "unpack": full.unpack_from,
             "shorter": _shorter(definition, fixed)}
    # decode unpacks into a local per value on the wire: v0, or v1_0, v1_1,
    # ... for an array
    unpacked = {element: element.local if element.field.count is None else
                ["%s_%d" % (element.local, index) for index in range(element.field.count)] for element in fixed}
    encode = ["def encode(self):"]
    decode = (["def decode(body):"] + _length_lines(definition, [name for element in fixed
                                                                for name in _listed(unpacked[element])])
              + ["self = new(cls)"])
    packed = []
    for element in elements:
        scope.update(element.scope())
        target = "self.%s" % element.name
        encode.append("%s = %s" % (element.local, target))
        if element is variable:
            encode += element.encode_lines()
            decode += element.decode_lines(target, "tail")
        elif element.field.count is None:
            encode += element.encode_lines()
            decode += element.decode_lines(target, element.local)
        else:
            encode += _array_encode(element)
            decode.append("%s = %s" % (target, _array_decode(element, unpacked[element])))
        if element is not variable:
            packed.append(("*" if element.field.count else "") + element.local)
    body = "pack(%s)" % ", ".join(packed)
    encode.append("return " + (body if variable is None else "%s + %s" % (body, variable.local)))
    decode += ["self.extra = %s" % ("0" if variable else "extra"), "return self"]
    exec(_indented(encode) + "\n" + _indented(decode), scope)
    return scope


def _indented(lines):
    """A function's source from its lines: the first, then the body."""
    return "\n".join(lines[:1] + ["    " + line for line in lines[1:]])


def _code(element):
    return "%s%s" % (element.field.count or "", element.code)


def _listed(names):
    return names if isinstance(names, list) else [names]


def _length_lines(definition, names):
    """Lines that unpack the fixed fields of `body` into the locals `names`
    and set `tail` (the variable field's bytes) or `extra` (bytes past the
    known fields)."""
    size = definition.fixed_size
    if size == 0:
        return ["tail = bytes(body)" if definition.sealed else "extra = len(body)"]
    values = ", ".join(names) + ("," if len(names) == 1 else "")
    if definition.sealed:
        start = ["if len(body) >= %d:" % size, "    %s = unpack(body)" % values,
                 "    tail = bytes(body[%d:])" % size]
    else:
        start = ["extra = len(body) - %d" % size, "if extra >= 0:", "    %s = unpack(body)" % values]
    return start + ["else:  # an earlier revision's body, absent fields at their defaults, or a bad one",
                    "    (%s), %s = shorter(body)" % (values, "tail" if definition.sealed else "extra")]


def _array_encode(element):
    """Lines that leave in vN the raw values of the array in vN."""
    test, line = element.fast_test("item"), "%s = array_%d(%s)" % (element.local, element.number, element.local)
    if test is None:
        return [line]
    return ["if not (type({0}) is list and len({0}) == {1} and all({2} for item in {0})):".format(
        element.local, element.field.count, test), "    " + line]


def _array_decode(element, names):
    item = element.decode_expression("item")
    listed = "[%s]" % ", ".join(names)
    return listed if item == "item" else "[%s for item in (%s)]" % (item, ", ".join(names))


def _shorter(definition, fixed):
    """What a body shorter than every fixed field holds, as `decode` takes
    it: (raw values with those of absent fields at their raw defaults,
    b"" or 0 as the rest); DecodeError when it is shorter than the first
    revision's fields or ends inside one."""
    prefixes, size, codes = {}, 0, ""
    for present, element in enumerate(fixed):
        if size >= definition.min_size:
            absent = tuple(item.field.raw_default for item in fixed[present:] for _ in range(item.field.elements))
            prefixes[size] = (struct.Struct("<" + codes).unpack_from, absent)
        size += element.field.size
        codes += _code(element)
    rest = b"" if definition.sealed else 0

    def shorter(body):
        length = len(body)
        if length in prefixes:
            unpack, absent = prefixes[length]
            return unpack(body) + absent, rest
        if length < definition.min_size:
            raise DecodeError(definition.name, "%s, fewer than the %d it always has" % (
                _bytes(length), definition.min_size), "short")
        raise DecodeError(_cut_field(definition, length), "the body ends inside it, after %s" % _bytes(length),
                          "partial")
    return shorter


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
    """Checks and converts one field's values (each element of an array),
    the field numbered `number` in its message. `to_raw(value, path)` gives
    what `struct` packs; the message's code checks and converts values
    inline where it can (`encode_lines`, `decode_lines`), with the names
    `scope()` gives, which end in the number."""

    normal = None  # what a constructor does to a given value (a name to its member, ...)

    def __init__(self, message_name, number, field):
        self.field = field
        self.name = field.name
        self.number = number
        self.local = "v%d" % number  # the value in encode's code
        self.path = "%s.%s" % (message_name, field.name)
        self.code = field.wire.code

    def scope(self):
        """The names this field's code uses, bound."""
        return {"to_raw_%d" % self.number: self.to_raw, "path_%d" % self.number: self.path,
                "array_%d" % self.number: self.array_raw}

    def finish(self):
        """`default`: a function giving the value a constructor takes when
        none is given, the value an absent field decodes to (None when a
        value must be given)."""
        scope = dict(self.scope(), new=object.__new__)
        exec(_indented(["def from_raw(raw):"] + self.decode_lines("value", "raw") + ["return value"]), scope)
        from_raw, raw = scope["from_raw"], self.field.raw_default
        value = from_raw(raw)
        if self.field.count is not None:
            default = lambda: [value] * self.field.count
        elif isinstance(value, Record):
            default = lambda: from_raw(raw)  # a fresh bits instance each time
        else:
            default = lambda: value
        self.default = default if self.field.default is not None or self.field.variable else None
        if self.field.count is not None:
            one = self.normal or (lambda item: item)
            self.normal = lambda value: [one(item) for item in value] if isinstance(value, (list, tuple)) else value
        return self

    def fast_test(self, value):
        """Source of a test that holds when the expression `value` is its own
        raw value, or None."""
        return None

    def encode_lines(self):
        """Lines that leave in `local` the raw value of the value in it."""
        line = "{0} = to_raw_{1}({0}, path_{1})".format(self.local, self.number)
        test = self.fast_test(self.local)
        return [line] if test is None else ["if not (%s):" % test, "    " + line]

    def decode_expression(self, raw):
        """Source of the value of the unpacked expression `raw`."""
        return raw

    def decode_lines(self, target, raw):
        """Lines that set `target` to the value of the unpacked `raw`."""
        return ["%s = %s" % (target, self.decode_expression(raw))]

    def array_raw(self, value):
        """The raw values of an array field's value."""
        count = self.field.count
        if not isinstance(value, (list, tuple)) or len(value) != count:
            raise EncodeError(self.path, "must be a list of %d values, not %s" % (count, _shown(value)))
        return [self.to_raw(item, "%s[%d]" % (self.path, index)) for index, item in enumerate(value)]

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
    def __init__(self, message_name, number, field, enum_class):
        super().__init__(message_name, number, field)
        self.enum_class = enum_class
        self.scale = Scale(field.scale, field.offset) if field.scaled else None
        self.members = members = _members(enum_class)
        if enum_class is not None:
            self.normal = lambda value: _enum_normal(enum_class, members, value)

    def scope(self):
        return dict(super().scope(), **{"kind_%d" % self.number: self.enum_class,
                                        "members_%d" % self.number: self.members})

    def fast_test(self, value):
        if self.enum_class is not None:
            return "type(%s) is kind_%d" % (value, self.number)  # the loader saw every member fit
        if self.scale is not None or self.field.invalid is not None:
            return None
        return "type({0}) is int and {1!r} <= {0} <= {2!r}".format(value, *self.bounds())

    def encode_lines(self):
        fast = self.scale and self._fast_scaled()
        if not fast:
            return super().encode_lines()
        low, high, half = fast
        # A value the float path cannot take stands for a half, which the
        # exact path then rounds.
        return ["q{0} = {1} if type(v{0}) in numbers and {2!r} <= v{0} <= {3!r} else 0.5".format(
                    self.number, self.scale.quotient_source(self.local), low, high),
                "r{0} = round(q{0})".format(self.number),
                "v{0} = r{0} if abs(q{0} - r{0}) < {1!r} else to_raw_{0}(v{0}, path_{0})".format(self.number, half)]

    def _fast_scaled(self):
        """(low, high, half) of the physical values that round in floats
        alone to a raw value within the wire's range (the invalid one at
        an end of it left out), narrowed by min and max; None if none."""
        wire, invalid = self.field.wire, self.field.invalid
        low, high = wire.low + (invalid == wire.low), wire.high - (invalid == wire.high)
        if invalid is not None and low <= invalid <= high:
            return None
        fast = self.scale.fast_range(low, high)
        if fast is None:
            return None
        low, high = fast[0], fast[1]
        if self.field.min is not None:
            low = max(low, self.field.min)
        if self.field.max is not None:
            high = min(high, self.field.max)
        return low, high, fast[2]

    def decode_expression(self, raw):
        if self.enum_class is not None:
            return "members_%d.get(%s, %s)" % (self.number, raw, raw)
        value = raw if self.scale is None else self.scale.physical_source(raw)
        if self.field.invalid is None:
            return value
        return "None if %s == %d else %s" % (raw, self.field.invalid, value)

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
    def fast_test(self, value):
        return "type({0}) is float and {1!r} <= {0} <= {2!r}".format(value, *self.bounds())

    def to_raw(self, value, path):
        _check_number(value, path, finite=False)
        value = float(value)
        wire = self.field.wire
        if math.isfinite(value) and not wire.low <= value <= wire.high:
            raise EncodeError(path, "%r is beyond the largest %s, %r" % (value, wire.name, wire.high))
        self.limits(value, path)
        return value


class _Bool(_Element):
    def __init__(self, message_name, number, field):
        super().__init__(message_name, number, field)
        self.code = "B"  # struct's "?" takes any byte as True

    def scope(self):
        return dict(super().scope(), **{"bad_bool_%d" % self.number: self.bad_bool})

    def fast_test(self, value):
        return "type(%s) is bool" % value

    def decode_expression(self, raw):
        return "{0} == 1 if {0} <= 1 else bad_bool_{1}({0})".format(raw, self.number)

    def bad_bool(self, raw):
        raise DecodeError(self.path, "bool byte %d is neither 0 nor 1" % raw, "bad_bool")

    def to_raw(self, value, path):
        return _bit_raw(value, path)


class _Bits(_Element):
    def __init__(self, message_name, number, field, enums):
        super().__init__(message_name, number, field)
        self.bits = [(bit, enums.get(bit.enum), _members(enums.get(bit.enum)), "%s.%s" % (self.path, bit.name))
                     for bit in field.bits]
        defaults = {bit.name: (lambda zero=_bit_value(bit, members, 0): zero) for bit, _, members, _ in self.bits}
        normal = {bit.name: (lambda value, enum_class=enum_class, members=members:
                             _enum_normal(enum_class, members, value))
                  for bit, enum_class, members, _ in self.bits if enum_class is not None}
        self.bits_class = record_class(field.name, self.path, [bit.name for bit in field.bits], defaults,
                                       namespace={"_normal": normal, "_kind": "bit"})
        self.normal = lambda value: self.bits_class(**value) if isinstance(value, dict) else value

    def scope(self):
        names = super().scope()
        names["bits_%d" % self.number] = self.bits_class
        for index, (_, enum_class, members, _) in enumerate(self.bits):
            names.update({"kind_%d_%d" % (self.number, index): enum_class,
                          "members_%d_%d" % (self.number, index): members})
        return names

    def encode_lines(self):
        tests, parts = ["type(%s) is bits_%d" % (self.local, self.number)], []
        for index, (bit, enum_class, _, _) in enumerate(self.bits):
            part = "%s.%s" % (self.local, bit.name)
            if enum_class is not None:
                tests.append("type(%s) is kind_%d_%d" % (part, self.number, index))  # every member fits
            elif bit.width == 1:
                tests.append("type(%s) is bool" % part)
            else:
                tests.append("type({0}) is int and 0 <= {0} <= {1}".format(part, (1 << bit.width) - 1))
            parts.append(part if bit.shift == 0 else "%s << %d" % (part, bit.shift))
        return ["if %s:" % " and ".join(tests), "    %s = %s" % (self.local, " | ".join(parts)),
                "else:", "    {0} = to_raw_{1}({0}, path_{1})".format(self.local, self.number)]

    def decode_lines(self, target, raw):
        lines = ["%s = bits = new(bits_%d)" % (target, self.number)]
        for index, (bit, enum_class, _, _) in enumerate(self.bits):
            run = raw if bit.shift == 0 else "%s >> %d" % (raw, bit.shift)
            run = "%s & %d" % (run, (1 << bit.width) - 1)
            if enum_class is not None:
                lines += ["run = %s" % run, "bits.%s = members_%d_%d.get(run, run)" % (bit.name, self.number, index)]
            elif bit.width == 1:
                lines.append("bits.%s = (%s) == 1" % (bit.name, run))
            else:
                lines.append("bits.%s = %s" % (bit.name, run))
        return lines

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
    def __init__(self, message_name, number, field):
        super().__init__(message_name, number, field)
        self.text = field.type == "string"
        self.kind = (str,) if self.text else (bytes, bytearray, memoryview)

    def scope(self):
        return dict(super().scope(), **{"checked_%d" % self.number: self.checked})

    def encode_lines(self):
        # ASCII text without NUL is its own UTF-8, a byte a character.
        test = ("type({0}) is str and {0}.isascii() and len({0}) <= {1} and '\\0' not in {0}" if self.text else
                "type({0}) is bytes and len({0}) <= {1}").format(self.local, self.field.max)
        line = "{0} = to_raw_{1}({0}, path_{1})".format(self.local, self.number)
        if not self.text:
            return ["if not (%s):" % test, "    " + line]
        return ["if %s:" % test, "    %s = %s.encode()" % (self.local, self.local), "else:", "    " + line]

    def decode_expression(self, raw):
        # The same the other way; `0 in` finds a NUL byte faster than b"\0".
        test = ("len({0}) <= {1} and {0}.isascii() and 0 not in {0}" if self.text else
                "len({0}) <= {1}").format(raw, self.field.max)
        return "%s%s if %s else checked_%d(%s)" % (raw, ".decode()" if self.text else "", test, self.number, raw)

    def checked(self, raw):
        """The value of the bytes `raw`; DecodeError when they do not fit."""
        if len(raw) > self.field.max:
            raise DecodeError(self.path, "%d bytes, more than its max %d" % (len(raw), self.field.max), "too_long")
        if not self.text:
            return raw
        if b"\0" in raw:
            raise DecodeError(self.path, "the text holds a NUL byte", "bad_text")
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError as error:
            raise DecodeError(self.path, "not UTF-8: %s" % error.reason, "bad_text") from None

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


def _element(message_name, number, field, enums):
    kind = field.wire.kind
    if field.variable:
        element = _Variable(message_name, number, field)
    elif field.bits:
        element = _Bits(message_name, number, field, enums)
    elif kind == "bool":
        element = _Bool(message_name, number, field)
    elif kind == "float":
        element = _Float(message_name, number, field)
    else:
        element = _Integer(message_name, number, field, enums.get(field.enum))
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
