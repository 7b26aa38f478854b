"""The C header of a schema: one file per schema, for C11 and C++17.

    korva schema c motor.toml -o motor.korva.h
    python -m korva.schema.c_header motor.toml -o motor.korva.h   (no compiled modules needed)

Per message: `<SCHEMA>_<MSG>_ID`, `_TYPE`, `_KEY` (the id/type byte),
`_MIN_SIZE`, `_MAX_SIZE`; a plain struct `<schema>_<msg>_t` with one member
per field; `<schema>_<msg>_pack()` and `_unpack()` as straight-line byte
code (no tables, no casts of packed structs: the Cortex-M0+ has no
unaligned access). Enum values, bit masks and shifts, limits, scales and
sentinels are macros; the schema's fingerprint and revision too. Under C++,
`<schema>_send(engine, receiver, message)` packs a message and sends it
through an engine.

The header includes only <stdint.h>, <stdbool.h> and <string.h>: avr-g++
has no <cstdint>.
"""

import argparse
import re
import struct
import sys

from ..errors import SchemaError
from .canonical import fingerprint
from .loader import read

__all__ = ["header", "write_header", "add_arguments", "run", "main"]

# What every generated header shares, defined once whichever comes first.
_COMMON = """\
#ifndef KORVA_SCHEMA_COMMON
#define KORVA_SCHEMA_COMMON
/* What _pack and _unpack return: 0 done, positive done with a remark,
 * negative an error (an unpacked struct is then all zero). */
#define KORVA_SCHEMA_OK 0
#define KORVA_SCHEMA_EXTRA 1     /* bytes beyond the known fields, ignored */
#define KORVA_SCHEMA_SHORT (-1)  /* shorter than the message's first revision */
#define KORVA_SCHEMA_PARTIAL (-2) /* the body ends inside a field */
#define KORVA_SCHEMA_BAD_BOOL (-3) /* a bool byte other than 0 or 1 */
#define KORVA_SCHEMA_TOO_LONG (-4) /* the bytes/string field is longer than its max */
#define KORVA_SCHEMA_BAD_BITS (-5) /* pack: bits set outside the field's named bits */

#ifdef __cplusplus
#define KORVA_SCHEMA_STATIC_ASSERT static_assert
#else
#define KORVA_SCHEMA_STATIC_ASSERT _Static_assert
#endif

/* f64 fields: a double where it has 64 bits, else (AVR: 32-bit double) the
 * raw IEEE-754 binary64 bits, carried unchanged. */
#if defined(__SIZEOF_DOUBLE__) && __SIZEOF_DOUBLE__ != 8
typedef uint64_t korva_f64_t;
#define KORVA_SCHEMA_F64_IS_DOUBLE 0
#else
typedef double korva_f64_t;
#define KORVA_SCHEMA_F64_IS_DOUBLE 1
#endif
KORVA_SCHEMA_STATIC_ASSERT(sizeof(float) == 4, "f32 fields need a 32-bit float");
KORVA_SCHEMA_STATIC_ASSERT(sizeof(korva_f64_t) == 8, "f64 fields need 8 bytes");

#ifdef __cplusplus
namespace korva_schema {
/* The type of an engine's send() message type parameter, so that the
 * header needs none of the engine's headers. */
template <class Engine, class Status, class Type, class... Rest>
Type type_parameter(Status (Engine::*)(Type, Rest...));
} /* namespace korva_schema */
#endif
#endif /* KORVA_SCHEMA_COMMON */
"""

_C_TYPES = {
    "u8": "uint8_t", "i8": "int8_t", "u16": "uint16_t", "i16": "int16_t", "u32": "uint32_t", "i32": "int32_t",
    "u64": "uint64_t", "i64": "int64_t", "f32": "float", "f64": "korva_f64_t", "bool": "bool",
}
# The unsigned word a multi-byte value travels in.
_WORDS = {2: "uint16_t", 4: "uint32_t", 8: "uint64_t"}
_UNSIGNED_SUFFIX = {1: "u", 2: "u", 4: "UL", 8: "ULL"}
_INT16_MIN, _INT32_MIN, _INT64_MIN = -(1 << 15), -(1 << 31), -(1 << 63)


def header(schema):
    """The header text for `schema` (a `korva.schema.model.Schema`);
    SchemaError when two generated names would be the same."""
    return _Writer(schema).text()


def write_header(path, output):
    """Read the schema file at `path` and write its header to `output`."""
    text = header(read(path))
    with open(output, "w", encoding="utf-8") as file:
        file.write(text)


def add_arguments(parser):
    """The arguments of `korva schema c`."""
    parser.add_argument("file", metavar="FILE", help="the schema file (.toml or .json)")
    parser.add_argument("-o", "--output", required=True, metavar="HEADER", help="the header to write")


def run(args):
    """`korva schema c`: returns the exit status."""
    write_header(args.file, args.output)
    return 0


def main(argv=None):
    """`python -m korva.schema.c_header FILE -o HEADER`, for builds that
    have no compiled modules."""
    parser = argparse.ArgumentParser(prog="korva schema c", description="Write the C header of a schema.")
    add_arguments(parser)
    args = parser.parse_args(argv)
    try:
        return run(args)
    except (OSError, SchemaError) as error:
        print("korva schema c: error: %s" % error, file=sys.stderr)
        return 1


def _upper(name):
    """A name in macro case: PowerState -> POWER_STATE, set_speed -> SET_SPEED."""
    return re.sub(r"(?<=[a-z0-9])(?=[A-Z])", "_", name).upper()


def _comment(text):
    """`text` on one line, safe inside a C comment."""
    return " ".join(text.split()).replace("*/", "* /")


def _integer_literal(value, size, signed):
    """`value` as a C constant of at least `size` bytes' range on every target
    (int has 16 bits on the AVR)."""
    if not signed:
        return "%d%s" % (value, _UNSIGNED_SUFFIX[size])
    suffix = {1: "", 2: "", 4: "L", 8: "LL"}[size]
    lowest = {1: _INT16_MIN, 2: _INT16_MIN, 4: _INT32_MIN, 8: _INT64_MIN}[size]
    if value == lowest:
        return "(%d%s - 1)" % (value + 1, suffix)
    return "%d%s" % (value, suffix) if value >= 0 else "(%d%s)" % (value, suffix)


def _number(value):
    """A scale or offset as C text (a double; never used by the generated code)."""
    return repr(value) if value >= 0 else "(%r)" % value


def _enum_literal(value):
    """An enum value: the smallest literal type that holds it."""
    for size in (2, 4, 8):
        if -(1 << (8 * size - 1)) <= value < (1 << (8 * size - 1)):
            return _integer_literal(value, size, True)
    return _integer_literal(value, 8, False)


def _float_bits(value, wire):
    """The IEEE-754 bits of `value` at the field's width, as a C constant."""
    if wire.size == 4:
        return "0x%08XUL" % struct.unpack("<I", struct.pack("<f", value))[0]
    return "0x%016XULL" % struct.unpack("<Q", struct.pack("<d", value))[0]


class _Offset:
    """Where an element's bytes start: `base`, plus `stride * i` in an
    array's loop."""

    def __init__(self, base, stride=0):
        self.base = base
        self.stride = stride

    def byte(self, k):
        if not self.stride:
            return str(self.base + k)
        step = "i" if self.stride == 1 else "%d * i" % self.stride
        return "%d + %s" % (self.base + k, step) if self.base + k else step


class _Writer:
    """Builds one header; remembers every macro and member name so that a
    clash is an error, not a silent redefinition."""

    def __init__(self, schema):
        self.schema = schema
        self.prefix = schema.name
        self.macro_prefix = _upper(schema.name)
        self.lines = []
        self.macros = {}

    # -- output ----------------------------------------------------------

    def emit(self, *lines):
        self.lines.extend(lines)

    def define(self, name, value, comment="", path=""):
        if name in self.macros:
            raise SchemaError(self.schema.source, path, "the C header would define %s twice (also for %s)"
                              % (name, self.macros[name] or "the schema"))
        self.macros[name] = path
        self.emit("#define %s %s%s" % (name, value, "  /* %s */" % _comment(comment) if comment else ""))

    def text(self):
        schema = self.schema
        guard = "KORVA_SCHEMA_%s_H" % self.macro_prefix
        self.emit("/* Schema %s, revision %d: generated by `korva schema c`; edit the schema, not this file. */"
                  % (schema.name, schema.revision),
                  "#ifndef " + guard, "#define " + guard, "",
                  "#include <stdbool.h>", "#include <stdint.h>", "#include <string.h>", "", _COMMON)
        self.define(self.macro_prefix + "_FINGERPRINT", "0x%sUL" % fingerprint(schema), "CRC-32 of the canonical form")
        self.define(self.macro_prefix + "_REVISION", "%du" % schema.revision)
        for enum in schema.enums:
            self.emit("", "/* enum %s */" % enum.name)
            for value in enum.values:
                self.define("%s_%s_%s" % (self.macro_prefix, _upper(enum.name), _upper(value.name)),
                            _enum_literal(value.value), value.doc, "enums.%s.%s" % (enum.name, value.name))
        for message in schema.messages:
            _MessageWriter(self, message).write()
        self.emit("#endif /* %s */" % guard, "")
        return "\n".join(self.lines)


class _MessageWriter:
    """The macros, struct, pack and unpack of one message."""

    def __init__(self, writer, message):
        self.writer = writer
        self.message = message
        self.name = "%s_%s" % (writer.prefix, message.name)
        self.macro = "%s_%s" % (writer.macro_prefix, _upper(message.name))
        self.type = self.name + "_t"

    def write(self):
        message, define = self.message, self.writer.define
        self.writer.emit("", "/* %s %s, id %d%s%s */" % (
            message.type, message.name, message.id, ", since revision %d" % message.since if message.since > 1
            else "", ": " + _comment(message.doc) if message.doc else ""))
        define(self.macro + "_ID", "%du" % message.id, path=message.name)
        define(self.macro + "_TYPE", "%du" % message.type_number, message.type, message.name)
        define(self.macro + "_KEY", "0x%02Xu" % (message.id << 2 | message.type_number), "id << 2 | type",
               message.name)
        define(self.macro + "_MIN_SIZE", "%du" % message.min_size, "bytes of its first revision", message.name)
        define(self.macro + "_MAX_SIZE", "%du" % message.max_size, path=message.name)
        for field in message.fields:
            self.field_macros(field)
        self.struct()
        self.pack()
        self.unpack()
        self.send_helper()

    # -- macros and struct -------------------------------------------------

    def field_macros(self, field):
        define, wire = self.writer.define, field.wire
        macro, path = "%s_%s" % (self.macro, _upper(field.name)), "%s.%s" % (self.message.name, field.name)
        if field.variable:
            define(macro + "_MAX_LEN", "%du" % field.max, "longest %s, in bytes" % field.type, path)
            return
        signed = wire.kind == "signed"
        if field.scaled:
            define(macro + "_SCALE", _number(field.scale), "physical = raw * scale + offset", path)
            define(macro + "_OFFSET", _number(field.offset), path=path)
        elif wire.integer and field.enum is None and not field.bits:
            for key in ("min", "max"):
                limit = getattr(field, key)
                if limit is not None:
                    define("%s_%s" % (macro, key.upper()), _integer_literal(limit, wire.size, signed), path=path)
        if field.invalid is not None:
            define(macro + "_INVALID", _integer_literal(field.invalid, wire.size, signed), "raw: no value", path)
        for bit in field.bits:
            bit_macro = "%s_%s" % (macro, _upper(bit.name))
            define(bit_macro + "_MASK", "0x%X%s" % (bit.mask, _UNSIGNED_SUFFIX[wire.size]),
                   "enum %s" % bit.enum if bit.enum else "", "%s.%s" % (path, bit.name))
            define(bit_macro + "_SHIFT", "%du" % bit.shift, path="%s.%s" % (path, bit.name))

    def struct(self):
        members = []
        for field in self.message.fields:
            members += self.members(field)
        names = [name for name, _, _ in members]
        for name in names:
            if names.count(name) > 1:
                raise SchemaError(self.writer.schema.source, "%s.%s" % (self.message.name, name),
                                  "the C struct would have two members called %s" % name)
        if not members:
            members = [("empty_", "char empty_;", "C has no empty struct; not sent")]
        self.writer.emit("typedef struct {")
        for _, declaration, comment in members:
            self.writer.emit("    %s%s" % (declaration, "  /* %s */" % _comment(comment) if comment else ""))
        self.writer.emit("} %s;" % self.type)

    def members(self, field):
        """(name, declaration, comment) of the members that hold `field`."""
        note = self.describe(field)
        if field.type == "string":
            return [(field.name, "char %s[%d];" % (field.name, field.max + 1), note + "; NUL-terminated by _unpack"),
                    (field.name + "_len", "uint8_t %s_len;" % field.name, "bytes in %s" % field.name)]
        if field.type == "bytes":
            # max 0 is legal on the wire, an empty C array is not.
            return [(field.name, "uint8_t %s[%d];" % (field.name, max(field.max, 1)), note),
                    (field.name + "_len", "uint8_t %s_len;" % field.name, "bytes in %s" % field.name)]
        size = "" if field.count is None else "[%d]" % field.count
        return [(field.name, "%s %s%s;" % (_C_TYPES[field.type], field.name, size), note)]

    def describe(self, field):
        parts = [field.type + ("[%d]" % field.count if field.count else "")]
        if field.variable:
            parts.append("max %d bytes" % field.max)
        if field.enum:
            parts.append("enum " + field.enum)
        if field.bits:
            parts.append("bits " + ", ".join(bit.name for bit in field.bits))
        if field.scaled:
            parts.append("raw; physical = raw * %r + %r" % (field.scale, field.offset))
        if field.unit:
            parts.append(field.unit)
        if field.since > self.message.since:
            parts.append("since revision %d, default %r" % (field.since, field.raw_default))
        if field.doc:
            parts.append(field.doc)
        return "; ".join(parts)

    # -- pack ----------------------------------------------------------------

    def pack(self):
        message, emit = self.message, self.writer.emit
        emit("", "/* The body of `m` into `body` (room for %s_MAX_SIZE bytes), its length into `len`. */"
             % self.macro,
             "static inline int %s_pack(const %s *m, uint8_t *body, uint8_t *len)" % (self.name, self.type), "{")
        if not message.fields:
            emit("    (void)m;", "    (void)body;")
        if any(_looped(field) for field in message.fields):
            emit("    uint8_t i;")
        for field in message.fields:
            unused = _unused_bits(field)
            if unused:
                emit("    if ((m->%s & 0x%X%s) != 0) {" % (field.name, unused, _UNSIGNED_SUFFIX[field.wire.size]),
                     "        return KORVA_SCHEMA_BAD_BITS;", "    }")
        variable, fixed = message.variable, message.fixed_size
        if variable is not None and variable.max < 255:
            emit("    if (m->%s_len > %du) {" % (variable.name, variable.max), "        return KORVA_SCHEMA_TOO_LONG;",
                 "    }")
        offset = 0
        for field in message.fields:
            if not field.variable:
                self.pack_field(field, offset)
            offset += field.size
        if variable is not None:
            emit("    memcpy(%s, m->%s, m->%s_len);" % (_at(fixed), variable.name, variable.name),
                 "    *len = (uint8_t)(%du + m->%s_len);" % (fixed, variable.name))
        else:
            emit("    *len = %du;" % fixed)
        emit("    return KORVA_SCHEMA_OK;", "}")

    def pack_field(self, field, offset):
        wire, emit = field.wire, self.writer.emit
        if field.count is None:
            self.writer.emit(*("    " + line for line in _put(wire, "m->" + field.name, _Offset(offset))))
        elif not _looped(field):
            emit("    memcpy(%s, m->%s, %d);" % (_at(offset), field.name, field.count))
        else:
            emit("    for (i = 0; i < %d; ++i) {" % field.count)
            emit(*("        " + line for line in _unblocked(_put(wire, "m->%s[i]" % field.name,
                                                                  _Offset(offset, wire.size)))))
            emit("    }")

    # -- unpack --------------------------------------------------------------

    def unpack(self):
        message, emit = self.message, self.writer.emit
        emit("", "/* `m` from a body of `len` bytes; `m` is all zero whenever the result is negative. */",
             "static inline int %s_unpack(%s *m, const uint8_t *body, uint8_t len)" % (self.name, self.type), "{")
        if any(_looped(field) for field in message.fields):
            emit("    uint8_t i;")
        emit("    memset(m, 0, sizeof *m);")
        if not message.fields:
            emit("    (void)body;")
        self.length_checks()
        self.bool_checks()
        variable, fixed = message.variable, message.fixed_size
        if variable is not None and message.max_size < 255:
            emit("    if (len > %du) {" % message.max_size, "        return KORVA_SCHEMA_TOO_LONG;", "    }")
        offset = 0
        for field in message.fields:
            if not field.variable:
                self.unpack_field(field, offset)
            offset += field.size
        if variable is not None:
            emit("    if (len > %du) {" % fixed,
                 "        m->%s_len = (uint8_t)(len - %du);" % (variable.name, fixed),
                 "        memcpy(m->%s, %s, m->%s_len);" % (variable.name, _at(fixed), variable.name), "    }",
                 "    return KORVA_SCHEMA_OK;", "}")
        elif fixed < 255:
            emit("    return len > %du ? KORVA_SCHEMA_EXTRA : KORVA_SCHEMA_OK;" % fixed, "}")
        else:
            emit("    return KORVA_SCHEMA_OK;", "}")

    def length_checks(self):
        """Short, and ending inside a field: the only lengths below the
        fixed size are the ends of fields appended after the first revision."""
        message, emit = self.message, self.writer.emit
        if message.min_size > 0:
            emit("    if (len < %du) {" % message.min_size, "        return KORVA_SCHEMA_SHORT;", "    }")
        ends, offset = [], 0
        for field in message.fields:
            if offset >= message.min_size:
                ends.append(offset)
            offset += field.size
        if message.min_size < message.fixed_size:
            allowed = " && ".join("len != %du" % end for end in ends if end < message.fixed_size)
            emit("    if (len < %du && %s) {" % (message.fixed_size, allowed),
                 "        return KORVA_SCHEMA_PARTIAL;", "    }")

    def bool_checks(self):
        emit, offset = self.writer.emit, 0
        for field in self.message.fields:
            if field.type == "bool":
                present = self.presence(field, offset)
                guard = "%s && " % present if present else ""
                if field.count is None:
                    emit("    if (%sbody[%d] > 1u) {" % (guard, offset), "        return KORVA_SCHEMA_BAD_BOOL;",
                         "    }")
                else:
                    emit("    for (i = 0; %si < %d; ++i) {" % (guard, field.count),
                         "        if (body[%s] > 1u) {" % _Offset(offset, 1).byte(0),
                         "            return KORVA_SCHEMA_BAD_BOOL;", "        }", "    }")
            offset += field.size

    def presence(self, field, offset):
        """The condition under which an appended field is in the body; ""
        for a field every body has."""
        end = offset + field.size
        return "" if end <= self.message.min_size else "len >= %du" % end

    def unpack_field(self, field, offset):
        emit, wire = self.writer.emit, field.wire
        present = self.presence(field, offset)
        indent = "    "
        if present:
            emit("    if (%s) {" % present)
            indent = "        "
        if field.count is None:
            lines = _get(field, "m->" + field.name, _Offset(offset))
            emit(*(indent + line for line in (_unblocked(lines) if present else lines)))
        elif not _looped(field):
            emit(indent + "memcpy(m->%s, %s, %d);" % (field.name, _at(offset), field.count))
        else:
            emit(indent + "for (i = 0; i < %d; ++i) {" % field.count)
            emit(*(indent + "    " + line for line in _unblocked(_get(field, "m->%s[i]" % field.name,
                                                                       _Offset(offset, wire.size)))))
            emit(indent + "}")
        if present:
            default = _default(field)
            if default:
                emit("    } else {")
                if field.count is None:
                    emit(*("        " + line for line in _unblocked(default("m->" + field.name))))
                else:
                    emit("        for (i = 0; i < %d; ++i) {" % field.count)
                    emit(*("            " + line for line in _unblocked(default("m->%s[i]" % field.name))))
                    emit("        }")
            emit("    }")

    # -- C++ -----------------------------------------------------------------

    def send_helper(self):
        message, macro = self.message, self.macro
        send = ("    return static_cast<int>(engine.send(static_cast<Type>(%s_TYPE), receiver, %s_ID, %s, attempts));"
                % (macro, macro, "body, len" if message.fields else "nullptr, 0"))
        if message.fields:
            pack = ["    uint8_t body[%d];" % message.max_size, "    uint8_t len = 0;",
                    "    const int packed = %s_pack(&m, body, &len);" % self.name,
                    "    if (packed < 0) {", "        return packed;", "    }"]
        else:
            pack = ["    (void)m; /* no fields: an empty body */"]
        self.writer.emit(
            "#ifdef __cplusplus",
            "/* Packs `m` and sends it (%s, id %d): a negative pack status (nothing sent), else the"
            % (message.type, message.id),
            " * engine's send() status. */",
            "template <class Engine>",
            "inline int %s_send(Engine &engine, uint8_t receiver, const %s &m, uint8_t attempts = 1)"
            % (self.writer.prefix, self.type),
            "{",
            "    typedef decltype(korva_schema::type_parameter(&Engine::send)) Type;",
            *pack, send, "}", "#endif")


def _at(offset):
    """The address of body byte `offset`."""
    return "body + %d" % offset if offset else "body"


def _unblocked(lines):
    """`lines` without the braces of their own block, for a loop's body."""
    if lines[0] == "{":
        return [line[4:] for line in lines[1:-1]]
    return lines


def _looped(field):
    """True for an array copied element by element (bytes of u8 and i8
    arrays are copied whole)."""
    return field.count is not None and (field.wire.size > 1 or field.wire.kind == "bool")


def _unused_bits(field):
    """The bits of a bits field that no named bit covers (0 when none)."""
    if not field.bits:
        return 0
    used = 0
    for bit in field.bits:
        used |= bit.mask
    return ((1 << 8 * field.wire.size) - 1) & ~used


def _put(wire, value, at):
    """Lines that write `value` (a member of type `wire`) at `at`."""
    if wire.size == 1:
        cast = "" if wire.name == "u8" else "(uint8_t)"
        return ["body[%s] = %s%s;" % (at.byte(0), cast, value)]
    word = _WORDS[wire.size]
    if wire.kind == "float":
        load = ["%s w;" % word, "memcpy(&w, &%s, %d);" % (value, wire.size)]
    else:
        load = ["const %s w = (%s)%s;" % (word, word, value)]
    stores = ["body[%s] = (uint8_t)%s;" % (at.byte(k), "(w >> %d)" % (8 * k) if k else "w")
              for k in range(wire.size)]
    return ["{"] + ["    " + line for line in load + stores] + ["}"]


def _get(field, target, at):
    """Lines that read the element of `field` at `at` into `target`."""
    wire = field.wire
    used = 0 if not field.bits else ((1 << 8 * wire.size) - 1) & ~_unused_bits(field)
    if wire.size == 1:
        byte = "body[%s]" % at.byte(0)
        if wire.kind == "bool":
            return ["%s = %s != 0;" % (target, byte)]
        if used:
            return ["%s = (uint8_t)(%s & 0x%Xu);" % (target, byte, used)]
        return ["%s = %s%s;" % (target, "" if wire.name == "u8" else "(int8_t)", byte)]
    word = _WORDS[wire.size]
    if wire.size == 2:
        load = ["const uint16_t w = (uint16_t)((unsigned)body[%s] | (unsigned)body[%s] << 8);"
                % (at.byte(0), at.byte(1))]
    else:
        load = ["%s w = body[%s];" % (word, at.byte(0))]
        load += ["w |= (%s)body[%s] << %d;" % (word, at.byte(k), 8 * k) for k in range(1, wire.size)]
    if wire.kind == "float":
        store = "memcpy(&%s, &w, %d);" % (target, wire.size)
    elif used:
        store = "%s = (%s)(w & 0x%X%s);" % (target, word, used, _UNSIGNED_SUFFIX[wire.size])
    else:
        store = "%s = %sw;" % (target, "" if wire.kind == "unsigned" else "(%s)" % _C_TYPES[wire.name])
    return ["{"] + ["    " + line for line in load + [store]] + ["}"]


def _default(field):
    """None when an absent `field` is zero (the struct is zeroed first),
    else a function of the target giving the lines that store its default."""
    raw, wire = field.raw_default, field.wire
    if wire.kind == "float":
        bits = _float_bits(raw, wire)
        if int(bits.rstrip("UL"), 16) == 0:
            return None
        word = _WORDS[wire.size]
        return lambda target: ["{", "    const %s w = %s;" % (word, bits),
                               "    memcpy(&%s, &w, %d);" % (target, wire.size), "}"]
    if not raw:
        return None
    if wire.kind == "bool":
        return lambda target: ["%s = true;" % target]
    literal = _integer_literal(raw, wire.size, wire.kind == "signed")
    return lambda target: ["%s = (%s)%s;" % (target, _C_TYPES[wire.name], literal)]


if __name__ == "__main__":
    sys.exit(main())
