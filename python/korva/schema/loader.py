"""Reading a schema file into a `korva.schema.model.Schema`, checking every
rule on the way; the first broken rule is a `SchemaError` naming the file,
the element and the reason on one line.

- `read(path)`: a .toml file (tomllib on 3.11, tomli on 3.9) or a .json
  file with the same data;
- `parse(data, source)`: the same from already parsed data (a dict), for
  tools and tests that build schemas in code.

The file: `format` (1), `name`, `revision`, `enums` (a table per enum: value
name = integer, or = { value, since, doc }) and `messages` (an array of
tables: `name`, `id`, `type`, `fields`, `reply`, `since`, `doc`); each field
a table of the keys `model.Field` names, `bits` an array of tables of the
keys `model.Bit` names. Unknown keys are errors, so a typo cannot vanish.
"""

import json
import keyword
import math
import re

from ..errors import SchemaError
from . import model
from .scaling import Scale

__all__ = ["read", "parse", "SCHEMA_KEYS", "MESSAGE_KEYS", "FIELD_KEYS", "BIT_KEYS", "ENUM_VALUE_KEYS",
           "RESERVED_FIELD_NAMES"]

SCHEMA_KEYS = ("format", "name", "revision", "enums", "messages")
MESSAGE_KEYS = ("name", "id", "type", "fields", "reply", "since", "doc")
FIELD_KEYS = ("name", "type", "count", "enum", "bits", "scale", "offset", "unit", "min", "max", "invalid",
              "default", "since", "doc")
BIT_KEYS = ("name", "width", "enum", "since", "doc")
ENUM_VALUE_KEYS = ("value", "since", "doc")

# Names a message instance already uses for itself.
RESERVED_FIELD_NAMES = ("definition", "encode", "extra", "fields")

# A generated C or C++ header uses every name as an identifier.
_C_KEYWORDS = frozenset("""
    alignas alignof and and_eq asm auto bitand bitor bool break case catch char char16_t char32_t class compl
    const constexpr const_cast continue decltype default delete do double dynamic_cast else enum explicit
    export extern false float for friend goto if inline int long mutable namespace new noexcept not not_eq
    nullptr operator or or_eq private protected public register reinterpret_cast restrict return short signed
    sizeof static static_assert static_cast struct switch template this thread_local throw true try typedef
    typeid typename union unsigned using virtual void volatile wchar_t while xor xor_eq
""".split())
_IDENTIFIER = re.compile(r"[A-Za-z][A-Za-z0-9_]*\Z")

# Which optional keys each kind of field takes.
_INTEGER_KEYS = {"count", "scale", "offset", "unit", "min", "max", "invalid", "default"}
_KEYS_BY_KIND = {
    "unsigned": _INTEGER_KEYS, "signed": _INTEGER_KEYS,
    "float": {"count", "unit", "min", "max", "default"},
    "bool": {"count", "default"},
    "bytes": {"max"}, "string": {"max"},
}
_ENUM_FIELD_KEYS = {"count", "enum", "default"}
_BITS_FIELD_KEYS = {"bits", "default"}
_ALWAYS = {"name", "type", "since", "doc"}


def read(path):
    """The `Schema` in the file at `path` (.toml or .json)."""
    source = str(path)
    try:
        with open(path, "rb") as file:
            raw = file.read()
    except OSError as error:
        raise SchemaError(source, "", error.strerror or str(error)) from None
    if source.endswith(".toml"):
        data = _toml(raw, source)
    elif source.endswith(".json"):
        data = _json(raw, source)
    else:
        raise SchemaError(source, "", "a schema file is .toml or .json")
    return parse(data, source)


def _toml(raw, source):
    try:
        import tomllib as toml
    except ImportError:
        try:
            import tomli as toml
        except ImportError:
            raise SchemaError(source, "", "reading TOML needs Python 3.11 or the package python3-tomli "
                                          "(scripts/install_deps.sh); a .json schema works without it") from None
    try:
        return toml.loads(raw.decode("utf-8"))
    except UnicodeDecodeError as error:
        raise SchemaError(source, "", "not UTF-8: %s" % error) from None
    except toml.TOMLDecodeError as error:
        raise SchemaError(source, "", str(error)) from None


def _json(raw, source):
    def no_repeats(pairs):
        keys = [key for key, _ in pairs]
        repeated = sorted({key for key in keys if keys.count(key) > 1})
        if repeated:
            raise ValueError("key %r given twice" % repeated[0])
        return dict(pairs)

    try:
        return json.loads(raw.decode("utf-8"), object_pairs_hook=no_repeats)
    except (UnicodeDecodeError, ValueError) as error:
        raise SchemaError(source, "", str(error)) from None


def parse(data, source="<schema>"):
    """The `Schema` that `data` (the file's parsed content) describes."""
    return _Reader(source).schema(data)


class _Reader:
    """Checks one schema's data; `fail` raises the one-line error."""

    def __init__(self, source):
        self.source = source
        self.revision = 1
        self.enums = {}

    def fail(self, path, reason):
        raise SchemaError(self.source, path, reason)

    # -- plain values --------------------------------------------------

    def table(self, value, path, keys, required=()):
        if not isinstance(value, dict):
            self.fail(path, "must be a table, not %s" % _shown(value))
        for key in value:
            if key not in keys:
                self.fail(path, "unknown key %r" % (key,))
        for key in required:
            if key not in value:
                self.fail(path, "%r is missing" % key)
        return value

    def integer(self, value, path, low, high):
        value = _integral(value)
        if not isinstance(value, int) or isinstance(value, bool):
            self.fail(path, "must be an integer, not %s" % _shown(value))
        if not low <= value <= high:
            self.fail(path, "%d is outside %d to %d" % (value, low, high))
        return value

    def number(self, value, path):
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            self.fail(path, "must be a number, not %s" % _shown(value))
        if isinstance(value, float) and not math.isfinite(value):
            self.fail(path, "must be a finite number, not %s" % value)
        return _integral(value)

    def text(self, value, path):
        if not isinstance(value, str):
            self.fail(path, "must be a string, not %s" % _shown(value))
        return value

    def name(self, value, path, reserved=()):
        name = self.text(value, path)
        if not _IDENTIFIER.match(name):
            self.fail(path, "%r is not a name (a letter, then letters, digits and _)" % name)
        if keyword.iskeyword(name) or name in _C_KEYWORDS:
            self.fail(path, "%r is a keyword of Python, C or C++" % name)
        if name in reserved:
            self.fail(path, "%r is taken by the message class itself" % name)
        return name

    def since(self, data, path, default=1, floor=1):
        """An element's `since`: `default` (its message's, its field's) when
        not given, and never before `floor` (what comes before it)."""
        since = self.integer(data.get("since", default), path + ".since", 1, self.revision)
        if since < floor:
            self.fail(path, "since %d is before %d, the revision of what comes before it" % (since, floor))
        return since

    # -- elements ------------------------------------------------------

    def schema(self, data):
        self.table(data, "", SCHEMA_KEYS, ("format", "name", "revision"))
        fmt = self.integer(data["format"], "format", model.FORMAT, model.FORMAT)
        name = self.name(data["name"], "name")
        self.revision = self.integer(data["revision"], "revision", 1, 0xFFFF)
        enums = data.get("enums", {})
        if not isinstance(enums, dict):
            self.fail("enums", "must be a table of enums, not %s" % _shown(enums))
        enums = tuple(self.enum(enum_name, values) for enum_name, values in enums.items())
        self.enums = {enum.name: enum for enum in enums}
        messages = data.get("messages", [])
        if not isinstance(messages, list):
            self.fail("messages", "must be an array of tables, not %s" % _shown(messages))
        messages = tuple(self.message(item, "messages[%d]" % index) for index, item in enumerate(messages))
        self.unique(messages)
        return model.Schema(name, self.revision, enums, messages, fmt, self.source)

    def enum(self, name, values):
        path = "enums.%s" % name
        name = self.name(name, path)
        if not isinstance(values, dict) or not values:
            self.fail(path, "must be a table of value names and integers")
        members, seen = [], {}
        for value_name, item in values.items():
            value_path = "%s.%s" % (path, value_name)
            self.name(value_name, value_path)
            if not isinstance(item, dict):
                item = {"value": item}
            self.table(item, value_path, ENUM_VALUE_KEYS, ("value",))
            number = self.integer(item["value"], value_path, -(1 << 63), (1 << 64) - 1)
            if number in seen:
                self.fail(value_path, "value %d is also %s's" % (number, seen[number]))
            seen[number] = value_name
            members.append(model.EnumValue(value_name, number, self.since(item, value_path),
                                           self.text(item.get("doc", ""), value_path + ".doc")))
        return model.Enum(name, tuple(members))

    def message(self, data, path):
        if isinstance(data, dict) and "name" in data:
            path = self.name(data["name"], path + ".name")
        self.table(data, path, MESSAGE_KEYS, ("name", "id", "type"))
        name = path
        message_id = self.integer(data["id"], path + ".id", 0, model.FIRST_BUILTIN_ID - 1)
        message_type = self.text(data["type"], path + ".type")
        if message_type not in model.MESSAGE_TYPES:
            self.fail(path + ".type", "%r is not one of %s" % (message_type, ", ".join(model.MESSAGE_TYPES)))
        reply = data.get("reply")
        if reply is not None:
            if message_type != "request":
                self.fail(path + ".reply", "only a request names a reply")
            reply = self.name(reply, path + ".reply")
        since = self.since(data, path)
        fields_data = data.get("fields", [])
        if not isinstance(fields_data, list):
            self.fail(path + ".fields", "must be an array of tables, not %s" % _shown(fields_data))
        fields, floor = [], since
        for index, item in enumerate(fields_data):
            field = self.field(item, "%s.fields[%d]" % (path, index), since, floor)
            if fields and fields[-1].variable:
                self.fail("%s.%s" % (path, field.name), "follows %r, a variable field, which must be last"
                          % fields[-1].name)
            if field.name in (earlier.name for earlier in fields):
                self.fail("%s.%s" % (path, field.name), "a second field of that name")
            fields.append(field)
            floor = field.since
        message = model.Message(name, message_id, message_type, tuple(fields), reply, since,
                                self.text(data.get("doc", ""), path + ".doc"))
        if message.max_size > model.MAX_BODY:
            self.fail(path, "the longest body is %d bytes, more than %d" % (message.max_size, model.MAX_BODY))
        return message

    def field(self, data, path, default_since, floor):
        if isinstance(data, dict) and "name" in data:
            name = self.name(data["name"], path + ".name", RESERVED_FIELD_NAMES)
            path = "%s.%s" % (path.rsplit(".fields[", 1)[0], name)
        self.table(data, path, FIELD_KEYS, ("name", "type"))
        wire = model.TYPES.get(data["type"]) if isinstance(data["type"], str) else None
        if wire is None:
            self.fail(path + ".type", "%s is not one of %s" % (_shown(data["type"]), " ".join(model.TYPES)))
        allowed = _KEYS_BY_KIND[wire.kind]
        if "enum" in data:
            allowed = _ENUM_FIELD_KEYS if wire.integer else set()
        elif "bits" in data:
            allowed = _BITS_FIELD_KEYS if wire.kind == "unsigned" else set()
        for key in data:
            if key not in allowed | _ALWAYS:
                self.fail(path, "%r does not apply to %s fields%s" % (
                    key, wire.name, " with enum" if "enum" in data else " with bits" if "bits" in data else ""))
        values = {"name": name, "type": wire.name, "since": self.since(data, path, default_since, floor),
                  "doc": self.text(data.get("doc", ""), path + ".doc"),
                  "unit": self.text(data.get("unit", ""), path + ".unit")}
        if "count" in data:
            values["count"] = self.integer(data["count"], path + ".count", 1, model.MAX_BODY)
        if wire.kind in model.VARIABLE_TYPES:
            if "max" not in data:
                self.fail(path, "a %s field needs 'max', its longest length in bytes" % wire.name)
            values["max"] = self.integer(data["max"], path + ".max", 0, model.MAX_BODY)
            return model.Field(**values)
        if "enum" in data:
            values["enum"] = self.enum_for(data["enum"], path + ".enum", wire.low, wire.high)
        if "bits" in data:
            values["bits"] = self.bits(data["bits"], path, wire, values["since"])
        for key in ("scale", "offset"):
            if key in data:
                values[key] = self.number(data[key], "%s.%s" % (path, key))
        if values.get("scale", 1) == 0:
            self.fail(path + ".scale", "must not be 0")
        if "invalid" in data:
            values["invalid"] = self.integer(data["invalid"], path + ".invalid", wire.low, wire.high)
        field = model.Field(**values)
        limits = {key: self.value(field, data[key], "%s.%s" % (path, key))
                  for key in ("min", "max", "default") if key in data}
        if limits.get("min", -math.inf) > limits.get("max", math.inf):
            self.fail(path, "min %s is above max %s" % (limits["min"], limits["max"]))
        field = model.Field(**dict(values, **limits))
        if field.since > default_since:
            self.absent_value(field, path)
        return field

    def absent_value(self, field, path):
        """An appended field absent from a body holds its raw default, which
        must be a value its enums name."""
        raw = field.raw_default
        runs = [(field.enum, raw)] + [(bit.enum, (raw >> bit.shift) & ((1 << bit.width) - 1)) for bit in field.bits]
        for enum_name, value in runs:
            if enum_name is not None and self.enums[enum_name].by_value(value) is None:
                self.fail(path, "when absent it holds %d, which %s does not name; give a default" % (value, enum_name))

    def value(self, field, value, path):
        """A physical value `field` can carry: its min, max or default."""
        wire = field.wire
        if wire.kind == "bool":
            if not isinstance(value, bool):
                self.fail(path, "must be true or false, not %s" % _shown(value))
            return value
        if field.enum is not None:
            enum = self.enums[field.enum]
            member = enum.by_name(value) if isinstance(value, str) else enum.by_value(_integral(value))
            if member is None:
                self.fail(path, "%s is not a value of %s" % (_shown(value), field.enum))
            if member.since > field.since:
                self.fail(path, "%s came at revision %d, after the field" % (member.name, member.since))
            return member.value
        if field.bits:
            return self.integer(value, path, 0, (1 << sum(bit.width for bit in field.bits)) - 1)
        value = self.number(value, path)
        if wire.kind == "float":
            if not wire.low <= value <= wire.high:
                self.fail(path, "%s is outside the range of %s" % (value, wire.name))
            return value
        if not field.scaled and not isinstance(value, int):
            self.fail(path, "must be an integer, not %s" % _shown(value))
        raw = Scale(field.scale, field.offset).raw(value) if field.scaled else value
        if not wire.low <= raw <= wire.high:
            self.fail(path, "%s is outside what %s carries (%s)" % (value, wire.name, _range_text(field)))
        if raw == field.invalid:
            self.fail(path, "%s is the invalid sentinel %d" % (value, field.invalid))
        return value

    def enum_for(self, name, path, low, high):
        enum = self.enums.get(self.text(name, path))
        if enum is None:
            self.fail(path, "no enum is called %r" % name)
        for member in enum.values:
            if not low <= member.value <= high:
                self.fail(path, "%s.%s = %d does not fit (%d to %d)" % (enum.name, member.name, member.value,
                                                                        low, high))
        return enum.name

    def bits(self, data, path, wire, bits_since):
        if not isinstance(data, list) or not data:
            self.fail(path + ".bits", "must be an array of tables")
        bits, shift, floor = [], 0, bits_since
        for index, item in enumerate(data):
            self.table(item, "%s.bits[%d]" % (path, index), BIT_KEYS, ("name",))
            bit_path = "%s.%s" % (path, self.name(item["name"], "%s.bits[%d].name" % (path, index)))
            width = self.integer(item.get("width", 1), bit_path + ".width", 1, 8 * wire.size)
            enum = None
            if "enum" in item:
                enum = self.enum_for(item["enum"], bit_path + ".enum", 0, (1 << width) - 1)
            since = self.since(item, bit_path, bits_since, floor)
            if any(bit.name == item["name"] for bit in bits):
                self.fail(bit_path, "a second bit of that name")
            bits.append(model.Bit(item["name"], width, enum, since, self.text(item.get("doc", ""), bit_path),
                                  shift))
            shift += width
            floor = since
            if shift > 8 * wire.size:
                self.fail(bit_path, "the bits need %d bits, more than a %s has" % (shift, wire.name))
        return tuple(bits)

    def unique(self, messages):
        names, keys = {}, {}
        for message in messages:
            if message.name in names or any(message.name == builtin.name for builtin in model.BUILTIN_MESSAGES):
                self.fail(message.name, "a second message of that name")
            names[message.name] = message
            key = (message.id, message.type)
            if key in keys:
                self.fail(message.name, "%s id %d is also %s" % (message.type, message.id, keys[key].name))
            keys[key] = message
        for message in messages:
            if message.reply is None:
                continue
            reply = names.get(message.reply)
            if reply is None or reply.type != "response":
                self.fail(message.name + ".reply", "no response is called %r" % message.reply)
            if reply.since > message.since:
                self.fail(message.name + ".reply", "%s came at revision %d, after its request"
                          % (reply.name, reply.since))
            if reply.id != message.id:
                self.fail(message.name + ".reply", "%s has id %d, not %d: replies are matched by id"
                          % (reply.name, reply.id, message.id))


def _integral(value):
    """A float with an integral value as the int it equals."""
    if isinstance(value, float) and math.isfinite(value) and value == int(value):
        return int(value)
    return value


def _shown(value):
    return "%s %r" % (type(value).__name__, value) if not isinstance(value, (dict, list)) else type(value).__name__


def _range_text(field):
    wire = field.wire
    if not field.scaled:
        return "%d to %d" % (wire.low, wire.high)
    scale = Scale(field.scale, field.offset)
    low, high = sorted((scale.physical(wire.low), scale.physical(wire.high)))
    return "%s to %s" % (low, high)
