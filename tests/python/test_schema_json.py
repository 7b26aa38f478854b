"""Typed messages as JSON: every field type to JSON and back byte-exact, the
texts a strict parser (node's JSON.parse) reads to the same values, the
shortest f32 text checked against the f32's exact rounding interval, and the
keys a frame's JSON object gains from a schema."""

import json
import math
import os
import random
import struct
import unittest
from fractions import Fraction

from korva import schema
from korva.errors import EncodeError
from korva.schema import json as typed_json

from korva_js import NODE, bits_of, parse_in_node

PROBE = schema.load(os.path.join(os.path.dirname(__file__), "schemas", "probe.toml"))
SCALARS = PROBE.messages["scalars"]
READING = PROBE.messages["reading"]
SCALAR_LAYOUT = struct.Struct("<BbHhIiQqfd?")
U64_MAX, I64_MIN = 2 ** 64 - 1, -2 ** 63
F32_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def scalars_body(*values, blob=b""):
    return SCALAR_LAYOUT.pack(*values) + blob


# (wire values of scalars, its JSON object); bodies built here with struct.
SCALAR_CASES = [
    ((0, 0, 0, 0, 0, 0, 0, 0, 0.0, 0.0, False), b"",
     {"u8": 0, "i8": 0, "u16": 0, "i16": 0, "u32": 0, "i32": 0, "u64": "0", "i64": "0", "f32": 0.0, "f64": 0.0,
      "flag": False, "blob": ""}),
    ((255, 127, 65535, 32767, 2 ** 32 - 1, 2 ** 31 - 1, U64_MAX, 2 ** 63 - 1, F32_MAX, 1.7976931348623157e308,
      True), b"\x00\xff" * 8,
     {"u8": 255, "i8": 127, "u16": 65535, "i16": 32767, "u32": 4294967295, "i32": 2147483647,
      "u64": "18446744073709551615", "i64": "9223372036854775807", "f32": 3.4028234e38,
      "f64": 1.7976931348623157e308, "flag": True, "blob": "00ff" * 8}),
    ((0, -128, 0, -32768, 0, -2 ** 31, 0, I64_MIN, -0.0, -0.0, False), b"\xab",
     {"u8": 0, "i8": -128, "u16": 0, "i16": -32768, "u32": 0, "i32": -2147483648, "u64": "0",
      "i64": "-9223372036854775808", "f32": -0.0, "f64": -0.0, "flag": False, "blob": "ab"}),
    ((1, -1, 2, -2, 3, -3, 4, -4, 0.1, 0.1, True), b"",
     {"u8": 1, "i8": -1, "u16": 2, "i16": -2, "u32": 3, "i32": -3, "u64": "4", "i64": "-4", "f32": 0.1,
      "f64": 0.1, "flag": True, "blob": ""}),
    ((0, 0, 0, 0, 0, 0, 0, 0, math.nan, math.inf, False), b"",
     {"u8": 0, "i8": 0, "u16": 0, "i16": 0, "u32": 0, "i32": 0, "u64": "0", "i64": "0", "f32": "NaN",
      "f64": "Infinity", "flag": False, "blob": ""}),
    ((0, 0, 0, 0, 0, 0, 0, 0, -math.inf, math.nan, False), b"",
     {"u8": 0, "i8": 0, "u16": 0, "i16": 0, "u32": 0, "i32": 0, "u64": "0", "i64": "0", "f32": "-Infinity",
      "f64": "NaN", "flag": False, "blob": ""}),
    ((0, 0, 0, 0, 0, 0, 0, 0, 1 / 3, 1e-300, False), b"",
     {"u8": 0, "i8": 0, "u16": 0, "i16": 0, "u32": 0, "i32": 0, "u64": "0", "i64": "0", "f32": 0.33333334,
      "f64": 1e-300, "flag": False, "blob": ""}),
]

# The reading message: enums, bits, scale and offset, sentinels, arrays, text.
READING_LAYOUT = struct.Struct("<BhHIBfffQQ")
READING_CASES = [
    ((1, 225, 1, 7, 0b101011, 0.1, -0.0, math.inf, 0, U64_MAX), "héllo",
     {"level": "high", "temp": 22.5, "volts": 102, "counter": 7,
      "flags": {"armed": True, "level": "high", "count": 5}, "samples": [0.1, -0.0, "Infinity"],
      "totals": ["0", "18446744073709551615"], "label": "héllo"}),
    ((0, -32768, 0, 2 ** 32 - 1, 0b000010, math.nan, 1e-45, 16777216.0, 1, 2), "",
     {"level": "low", "temp": None, "volts": 100, "counter": None,
      "flags": {"armed": False, "level": "high", "count": 0}, "samples": ["NaN", 1e-45, 16777216.0],
      "totals": ["1", "2"], "label": ""}),
]


def reading_body(values, label):
    return READING_LAYOUT.pack(*values) + label.encode()


def equal_json(first, second):
    """Equality where -0.0 differs from 0.0 and types count (1 is not 1.0 nor True)."""
    return bits_with_types(first) == bits_with_types(second)


def bits_with_types(value):
    if isinstance(value, list):
        return [bits_with_types(item) for item in value]
    if isinstance(value, dict):
        return {key: bits_with_types(item) for key, item in value.items()}
    if isinstance(value, float):
        return ("float", struct.pack(">d", value).hex())
    return (type(value).__name__, value)


class MappingTest(unittest.TestCase):
    def every_case(self):
        for values, blob, document in SCALAR_CASES:
            yield SCALARS, scalars_body(*values, blob=blob), document
        for values, label, document in READING_CASES:
            yield READING, reading_body(values, label), document

    def test_decoded_bodies_give_their_json_and_come_back_byte_exact(self):
        for cls, body, document in self.every_case():
            with self.subTest(body=body.hex()):
                got = typed_json.to_json(cls.decode(body))
                self.assertTrue(equal_json(got, document), got)
                text = typed_json.dumps(got)
                again = typed_json.from_json(cls, json.loads(text))
                self.assertEqual(again.encode(), body)

    def test_texts_are_the_shortest_at_the_fields_width(self):
        for value, text in [(0.1, '"f32":0.1,'), (1 / 3, '"f32":0.33333334,'), (F32_MAX, '"f32":3.4028234e+38,')]:
            body = scalars_body(0, 0, 0, 0, 0, 0, U64_MAX, I64_MIN, value, 0.1, True)
            written = typed_json.dumps(typed_json.to_json(SCALARS.decode(body)))
            self.assertIn(text, written)
            self.assertIn('"f64":0.1,', written)
            self.assertIn('"u64":"18446744073709551615","i64":"-9223372036854775808"', written)

    def test_node_parses_every_text_to_the_same_values(self):
        documents = [typed_json.to_json(cls.decode(body)) for cls, body, _ in self.every_case()]
        parsed = parse_in_node([typed_json.dumps(document) for document in documents])
        self.assertEqual(parsed, [{"ok": bits_of(document)} for document in documents])
        # An f32 JS reads with Math.fround is the one on the wire.
        for (values, _, _), answer in zip(SCALAR_CASES, parsed):
            number = answer["ok"]["f32"]
            if isinstance(number, dict):
                read = struct.unpack(">d", bytes.fromhex(number["f64"]))[0]
                self.assertEqual(struct.pack("<f", read), struct.pack("<f", values[8]))

    def test_a_bare_nan_is_refused_rather_than_written(self):
        with self.assertRaises(ValueError):
            typed_json.dumps({"x": math.nan})
        self.assertIn("Unexpected token", parse_in_node(['{"x":NaN}'])[0]["error"])

    def test_values_no_member_has_are_numbers_the_codec_will_not_send(self):
        body = reading_body((9, 0, 0, 0, 0b000110, 0.0, 0.0, 0.0, 0, 0), "")
        document = typed_json.to_json(READING.decode(body))
        self.assertEqual((document["level"], document["flags"]), (9, {"armed": False, "level": 3, "count": 0}))
        with self.assertRaises(EncodeError) as caught:
            typed_json.from_json(READING, document).encode()
        self.assertEqual(str(caught.exception), "reading.level: int 9 is not a Level (low=0, high=1)")

    def test_the_reverse_takes_numbers_names_and_decimal_strings(self):
        body = reading_body((0, 0, 0, 5, 0b100001, 1.5, 0.0, -2.0, U64_MAX, 3), "")
        document = {"level": 0, "temp": 0, "volts": 100, "counter": 5,
                    "flags": {"armed": 1, "level": 0, "count": 4}, "samples": [1.5, 0, -2],
                    "totals": [U64_MAX, "3"], "label": ""}
        self.assertEqual(typed_json.from_json(READING, document).encode(), body)
        named = dict(document, level="low", flags={"armed": True, "level": "low", "count": 4},
                     totals=["18446744073709551615", 3])
        self.assertEqual(typed_json.from_json(READING, named).encode(), body)

    def test_bad_values_are_the_codecs_errors_naming_the_field(self):
        good = typed_json.to_json(SCALARS.decode(scalars_body(*SCALAR_CASES[0][0])))
        cases = [
            ({"blob": 5}, "scalars.blob: bytes are a string of hex digits, not int 5"),
            ({"blob": "0g"}, "scalars.blob: str '0g' is not hex bytes such as \"01ff\""),
            ({"u64": "18446744073709551616"}, "scalars.u64: 18446744073709551616 is outside u64's 0 to "
                                              "18446744073709551615"),
            ({"u64": "1e3"}, "scalars.u64: must be an integer, not str '1e3'"),
            ({"i8": 1.0}, "scalars.i8: must be an integer, not float 1.0"),
            ({"f32": "nan"}, "scalars.f32: must be a number, not str 'nan'"),
            ({"f32": 3.5e38}, "scalars.f32: 3.5e+38 is beyond the largest f32, 3.4028234663852886e+38"),
            ({"f64": 10 ** 400}, "scalars.f64: int 1000000000000000000000000000000000000... is beyond the largest "
                                 "f64, 1.7976931348623157e+308"),
            ({"flag": "true"}, "scalars.flag: must be true or false (or 0 or 1), not str 'true'"),
            ({"speed": 1}, "scalars.speed: no such field; fields are u8, i8, u16, i16, u32, i32, u64, i64, f32, "
                           "f64, flag, blob"),
        ]
        for change, text in cases:
            with self.subTest(change=change), self.assertRaises(EncodeError) as caught:
                typed_json.from_json(SCALARS, {**good, **change}).encode()
            self.assertEqual(str(caught.exception), text)
        for document, text in [([1], "scalars: the fields are a JSON object, not list [1]"),
                               ({**good, "u8": None}, "scalars.u8: must be an integer, not NoneType None")]:
            with self.subTest(document=document), self.assertRaises(EncodeError) as caught:
                typed_json.from_json(SCALARS, document).encode()
            self.assertEqual(str(caught.exception), text)
        partial = dict(good)
        del partial["u32"]
        with self.assertRaisesRegex(EncodeError, r"^scalars\.u32: missing"):
            typed_json.from_json(SCALARS, partial)


class ShortestF32Test(unittest.TestCase):
    """Independently of how the text is found: it reads back to the same f32,
    and no decimal with a digit fewer lies inside the f32's rounding interval."""

    def test_random_f32s(self):
        rng = random.Random(24)
        patterns = [rng.getrandbits(32) for _ in range(3000)] + [1, 0x00800000, 0x7F7FFFFF, 0x3F800000, 0x4B800000]
        for pattern in patterns:
            value = struct.unpack("<I", struct.pack("<I", pattern))[0]
            number = struct.unpack("<f", struct.pack("<I", value))[0]
            if not math.isfinite(number) or number == 0:
                continue
            with self.subTest(pattern="%08x" % pattern):
                text = repr(typed_json.to_json(SCALARS.decode(scalars_body(0, 0, 0, 0, 0, 0, 0, 0, number, 0.0,
                                                                          False)))["f32"])
                self.assertEqual(struct.pack("<f", float(text)), struct.pack("<f", number))
                digits = len(text.split("e")[0].replace("-", "").replace(".", "").strip("0"))
                if digits > 1 and abs(number) < F32_MAX:
                    self.assertFalse(shorter_inside(number, digits - 1), text)


def shorter_inside(number, digits):
    """Whether a decimal of `digits` significant digits lies strictly between
    the midpoints to the f32s either side of `number` (positive or not)."""
    bits = struct.unpack("<I", struct.pack("<f", abs(number)))[0]
    below, above = (Fraction(struct.unpack("<f", struct.pack("<I", neighbour))[0]) for neighbour in (bits - 1,
                                                                                                      bits + 1))
    exact = Fraction(abs(number))
    low, high = (below + exact) / 2, (exact + above) / 2
    magnitude = math.floor(math.log10(abs(number)))
    for exponent in range(magnitude - digits - 1, magnitude - digits + 3):
        unit = Fraction(10) ** exponent
        first = math.floor(low / unit) + 1
        if first * unit < high and len(str(first).rstrip("0")) <= digits:
            return True
    return False


class MessageKeysTest(unittest.TestCase):
    def test_keys_by_what_the_body_holds(self):
        body = reading_body(*READING_CASES[0][:2])
        fixed = reading_body(READING_CASES[0][0], "")
        reply = PROBE.messages["reading_reply"](level="high", total=U64_MAX).encode()
        cases = [
            (PROBE, 2, 3, body, {"message": "reading", "fields": READING_CASES[0][2]}),
            (PROBE, 2, "response", reply + b"\x01\x02",
             {"message": "reading_reply", "fields": {"level": "high", "total": "18446744073709551615"}, "extra": 2}),
            (PROBE, 2, 3, fixed[:5], {"message": "reading",
                                      "decode_error": "reading: 5 bytes, fewer than the 38 it always has"}),
            (PROBE, 1, 0, b"\x00" * 42 + b"\x02",
             {"message": "scalars", "decode_error": "scalars.flag: bool byte 2 is neither 0 nor 1"}),
            (PROBE, 2, 0, body, {}),   # (id, type) the schema does not name
            (None, 2, 3, body, {}),
        ]
        for typed, message_id, message_type, data, keys in cases:
            with self.subTest(keys=keys):
                got = typed_json.message_keys(typed, message_id, message_type, data)
                self.assertTrue(equal_json(got, keys), got)
                for direction in typed_json.DIRECTIONS:
                    got = typed_json.message_keys(typed, message_id, message_type, data, direction)
                    self.assertTrue(equal_json(got, {"direction": direction, **keys}), got)
        with self.assertRaisesRegex(ValueError, "a direction is in or out, not 'up'"):
            typed_json.message_keys(None, 2, 3, body, "up")


@unittest.skipIf(NODE is None, "node is not installed")
class NodeTest(unittest.TestCase):
    def test_the_helper_tells_numbers_by_their_bits(self):
        self.assertEqual(parse_in_node(['[-0.0, 0.1, "1"]'])[0]["ok"],
                         [{"f64": "8000000000000000"}, {"f64": "3fb999999999999a"}, "1"])


if __name__ == "__main__":
    unittest.main()
