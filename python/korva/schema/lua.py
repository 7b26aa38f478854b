"""Wireshark dissectors for a schema's messages, in Lua.

`generate(schema)` gives the text of one Lua script: the schema as a Lua
table (`SCHEMA`) followed by `dissector.lua`, the part that is the same for
every schema. The script hangs under tools/wireshark/korva.lua: it declares
a protocol named after the schema, with a field `<schema>.<message>.<field>`
for every field (`.raw` beside a scaled one or one with an invalid sentinel,
`.<bit>` under a bits field), `<schema>.message`, `<schema>.extra.bytes`, and an
expert info per decode status (`<schema>.short`, `.partial`, `.bad_bool`,
`.too_long`, `.bad_text`, `.extra`); its init registers every message's
id/type byte in korva.lua's "korva.message" table, so the two scripts may
load in either order.
"""

import math
import os
from .canonical import fingerprint
from .loader import read
from .scaling import exact

__all__ = ["add_arguments", "generate", "run", "write"]

_RUNTIME = os.path.join(os.path.dirname(os.path.abspath(__file__)), "dissector.lua")
_WIDE = ("u64", "i64")  # beyond a Lua number's exact integers: given as text
_MASK_BITS = 32  # Wireshark takes masks of Lua fields up to 32 bits
_LUA_KEYWORDS = frozenset("""
    and break do else elseif end false for function goto if in local nil not or repeat return then true until while
""".split())


def generate(schema):
    """The Lua dissector of `schema` (a model `Schema`), as text."""
    with open(_RUNTIME, encoding="utf-8") as file:
        runtime = file.read()
    data = {
        "name": schema.name, "revision": schema.revision, "fingerprint": fingerprint(schema),
        "enums": {enum.name: {value.value: value.name for value in enum.values} for enum in schema.enums},
        "messages": [_message(message) for message in schema.messages],
    }
    head = ("-- Wireshark dissector for the %s schema, revision %d (fingerprint %s), written by\n"
            "-- `korva schema lua`: regenerate it from the schema rather than edit it.\n"
            "-- Load it beside tools/wireshark/korva.lua, in either order:\n"
            "--   tshark -X lua_script:korva.lua -X lua_script:%s.lua -r capture.pcap\n\n"
            % (schema.name, schema.revision, data["fingerprint"], schema.name))
    return head + "local SCHEMA = " + _lua(data, 0) + "\n\n" + runtime


def write(schema, path):
    """Write the dissector of `schema` to `path`; returns `path`."""
    with open(path, "w", encoding="utf-8") as file:
        file.write(generate(schema))
    return path


def add_arguments(parser):
    """The arguments of `korva schema lua`."""
    parser.add_argument("file", metavar="FILE", help="the schema file (.toml or .json)")
    parser.add_argument("-o", "--output", required=True, metavar="FILE.lua", help="the script to write")


def run(args):
    """`korva schema lua`: returns the exit status."""
    print(write(read(args.file), args.output))
    return 0


def _message(message):
    fields, offset = [], 0
    for field in message.fields:
        fields.append(_field(message, field, offset))
        offset += field.size
    return {"name": message.name, "id": message.id, "type": message.type,
            "key": message.id << 2 | message.type_number, "min_size": message.min_size,
            "fixed_size": message.fixed_size, "sealed": message.sealed, "fields": fields}


def _field(message, field, offset):
    item = {"name": field.name, "type": field.type, "offset": offset, "size": field.wire.size,
            "count": field.count, "enum": field.enum, "unit": field.unit or None, "doc": field.doc or None}
    if field.variable:
        item.update(variable=True, max=field.max)
        return item
    item["default"] = _wide(field, field.raw_default)
    if field.invalid is not None:
        item["invalid"] = _wide(field, field.invalid)
    if field.scaled:
        item["physical"] = _physical(field.scale, field.offset)
    if field.bits:
        item["bits"] = [{"name": bit.name, "width": bit.width, "shift": bit.shift, "enum": bit.enum,
                         "doc": bit.doc or None,
                         "mask": bit.mask if 8 * field.wire.size <= _MASK_BITS else None}
                        for bit in field.bits]
    return item


def _physical(scale, offset):
    """physical = (raw * factor + shift) / divisor in integers, so that a
    double division rounds once, as the codec's exact arithmetic does."""
    scale, offset = exact(scale), exact(offset)
    divisor = scale.denominator * offset.denominator // math.gcd(scale.denominator, offset.denominator)
    return {"factor": int(scale * divisor), "shift": int(offset * divisor), "divisor": divisor}


def _wide(field, value):
    return str(value) if field.type in _WIDE else value


# -- Lua literals ----------------------------------------------------------------


def _lua(value, depth):
    if value is None or isinstance(value, bool):
        return {None: "nil", True: "true", False: "false"}[value]
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if math.isnan(value):
            return "0/0"
        if math.isinf(value):
            return "math.huge" if value > 0 else "-math.huge"
        return repr(value)
    if isinstance(value, str):
        return _lua_string(value)
    inner, outer = "    " * (depth + 1), "    " * depth
    if isinstance(value, dict):
        items = ["%s = %s" % (_lua_key(key), _lua(item, depth + 1)) for key, item in value.items()
                 if item is not None]
    else:
        items = [_lua(item, depth + 1) for item in value]
    if not items:
        return "{}"
    if not any(isinstance(item, (dict, list)) for item in (value.values() if isinstance(value, dict) else value)):
        return "{ " + ", ".join(items) + " }"
    return "{\n" + "".join("%s%s,\n" % (inner, item) for item in items) + outer + "}"


def _lua_key(key):
    if isinstance(key, int):
        return "[%d]" % key
    plain = key.isidentifier() and key.isascii() and key not in _LUA_KEYWORDS
    return key if plain else "[%s]" % _lua_string(key)


def _lua_string(text):
    """A Lua string literal of `text`'s UTF-8 bytes."""
    out = []
    for byte in text.encode("utf-8"):
        char = chr(byte)
        if char in '"\\':
            out.append("\\" + char)
        elif 0x20 <= byte < 0x7F:
            out.append(char)
        else:
            out.append("\\%03d" % byte)
    return '"' + "".join(out) + '"'
