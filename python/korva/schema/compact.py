"""A typed message in one short line of text, for tools that print frames:
`set_speed{rpm=-1200, mode=run, ramp_ms=100}`.

The values are those of the JSON mapping (`korva.schema.json`), so a
number reads the same in both: enum members by name, floats as the
shortest text at their width, NaN and infinities by name. On top of it:
strings quoted as JSON strings, bytes as `<hex>`, an `invalid` sentinel as
`invalid`, arrays in brackets, and a bits field as `{armed, mode=run}`:
a lone bit by its name when it is set (left out when clear), a wider run
as name=value.
"""

import json

__all__ = ["compact"]

_INVALID = "invalid"


def compact(definition, fields, extra=0):
    """The line of a message: `definition` its `model.Message`, `fields` its
    values as the JSON mapping gives them, `extra` the bytes decoded past
    (shown as ` +N extra` when there are any)."""
    text = "%s{%s}" % (definition.name, ", ".join(
        "%s=%s" % (field.name, _field_text(field, fields[field.name])) for field in definition.fields))
    return text + (" +%d extra" % extra if extra else "")


def _field_text(field, value):
    if field.count is not None:
        return "[%s]" % ", ".join(_value_text(field, item) for item in value)
    return _value_text(field, value)


def _value_text(field, value):
    if value is None:
        return _INVALID
    if field.type == "string":
        return json.dumps(value, ensure_ascii=False)
    if field.type == "bytes":
        return "<%s>" % value
    if field.bits:
        return "{%s}" % ", ".join(name if part is True else "%s=%s" % (name, _scalar_text(part))
                                  for name, part in value.items() if part is not False)
    return _scalar_text(value)


def _scalar_text(value):
    """Numbers and booleans as JSON writes them; names and 64-bit decimal
    strings bare."""
    return value if isinstance(value, str) else json.dumps(value)
