"""Typed messages: one schema file describes the bodies of a node's messages;
this package checks it and encodes and decodes the bodies.

- `load(path)` -> `TypedSchema`: `messages[name]` is the class of that
  message (`cls(**values).encode()` gives the body), `decode(message_id,
  message_type, body)` an instance with one attribute per field, `enums[name]`
  an IntEnum, `fingerprint` 8 hex digits, `model` the description;
- `read(path)` -> `Schema`: the checked description (`korva.schema.model`
  documents every attribute); `parse(data, source)` the same from parsed
  data; `TypedSchema(schema)` builds the codec from one;
- `canonical(schema)`, `fingerprint(schema)`, `restrict(schema, revision)`;
  `check(new, old)`: the breaking changes, one line each;
- `SchemaError`, `EncodeError`, `DecodeError`: the errors, from
  `korva.errors`;
- `korva.schema.json`: messages as strict JSON and back, the one mapping
  the tools that show or take fields use.

Wire rules: fields little-endian, in declaration order, without padding or
reordering; a body is at most 255 bytes; the frame's header and checksum
are outside the schema.
"""

from ..errors import DecodeError, EncodeError, SchemaError
from .canonical import canonical, fingerprint, restrict
from .codec import TypedMessage, TypedSchema
from .compat import check
from .loader import parse, read
from .model import Bit, Enum, EnumValue, Field, Message, Schema

__all__ = ["load", "read", "parse", "TypedSchema", "TypedMessage", "Schema", "Message", "Field", "Enum",
           "EnumValue", "Bit", "canonical", "fingerprint", "restrict", "check", "SchemaError", "EncodeError",
           "DecodeError"]


def load(path):
    """The schema in the file at `path` (.toml or .json), ready to encode and
    decode; SchemaError when the file breaks a rule."""
    return TypedSchema(read(path))
