"""Typed messages: one schema file describes the bodies of a node's messages;
this package checks it and encodes and decodes the bodies.

- `read(path)` -> `Schema`: the checked description (`korva.schema.model`
  documents every attribute); `parse(data, source)` the same from parsed
  data;
- `SchemaError`, `EncodeError`, `DecodeError`: the errors, from
  `korva.errors`.

Wire rules: fields little-endian, in declaration order, without padding or
reordering; a body is at most 255 bytes; the frame's header and checksum
are outside the schema.
"""

from ..errors import DecodeError, EncodeError, SchemaError
from .loader import parse, read
from .model import Bit, Enum, EnumValue, Field, Message, Schema

__all__ = ["read", "parse", "Schema", "Message", "Field", "Enum", "EnumValue", "Bit", "SchemaError", "EncodeError",
           "DecodeError"]
