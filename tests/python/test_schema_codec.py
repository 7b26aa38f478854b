"""The typed-message codec against layouts written here with `struct` from the
wire rules (little-endian, declaration order, no padding), and its refusals."""

import math
import random
import struct
import unittest
from fractions import Fraction

from korva import schema
from korva.errors import DecodeError, EncodeError, KorvaError

# Every field type; `later` and `tail` came with revision 2.
EVERY = {
    "format": 1, "name": "every", "revision": 2,
    "enums": {"Level": {"low": 0, "high": 7, "top": {"value": 5, "since": 2}}},
    "messages": [
        {"name": "all_types", "id": 1, "type": "write", "fields": [
            {"name": "a", "type": "u8"}, {"name": "b", "type": "i8"}, {"name": "c", "type": "u16"},
            {"name": "d", "type": "i16"}, {"name": "e", "type": "u32"}, {"name": "f", "type": "i32"},
            {"name": "g", "type": "u64"}, {"name": "h", "type": "i64"}, {"name": "x", "type": "f32"},
            {"name": "y", "type": "f64"}, {"name": "ok", "type": "bool"},
            {"name": "later", "type": "u16", "since": 2, "default": 513},
        ]},
        {"name": "shaped", "id": 2, "type": "indicate", "fields": [
            {"name": "level", "type": "u8", "enum": "Level"},
            {"name": "temp", "type": "i16", "scale": 0.1, "offset": -40, "invalid": -32768},
            {"name": "cells", "type": "u16", "count": 3},
            {"name": "flags", "type": "u16", "bits": [{"name": "on"}, {"name": "mode", "width": 3, "enum": "Level"},
                                                     {"name": "count", "width": 4}]},
            {"name": "note", "type": "string", "max": 8},
        ]},
        {"name": "blob", "id": 2, "type": "write", "fields": [
            {"name": "kind", "type": "u8", "min": 1, "max": 3},
            {"name": "data", "type": "bytes", "max": 16, "since": 2},
        ]},
    ],
}
ALL_TYPES = struct.Struct("<BbHhIiQqfd?H")
TYPES = schema.TypedSchema(schema.parse(EVERY, "every.json"))
BOUNDS = [(0, 255), (-128, 127), (0, 65535), (-32768, 32767), (0, 2 ** 32 - 1), (-2 ** 31, 2 ** 31 - 1),
          (0, 2 ** 64 - 1), (-2 ** 63, 2 ** 63 - 1)]
F32_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]


def all_types(*values):
    return TYPES.messages["all_types"](**dict(zip("a b c d e f g h x y ok later".split(), values)))


class LayoutTest(unittest.TestCase):
    def assert_round_trip(self, values):
        body = ALL_TYPES.pack(*values)
        message = all_types(*values)
        self.assertEqual(message.encode(), body)
        decoded = TYPES.decode(1, 0, body)
        for name, expected in zip("a b c d e f g h x y ok later".split(), values):
            got = getattr(decoded, name)
            if isinstance(expected, float) and math.isnan(expected):
                self.assertTrue(math.isnan(got), name)
            else:
                self.assertEqual((got, type(got)), (expected, type(expected)), name)
                if isinstance(expected, float):
                    self.assertEqual(math.copysign(1, got), math.copysign(1, expected), name)
        self.assertEqual(decoded.extra, 0)

    def test_every_type_at_its_bounds(self):
        for end in (0, 1):
            ints = [bounds[end] for bounds in BOUNDS]
            self.assert_round_trip(ints + [(-F32_MAX, F32_MAX)[end], (-1.7976931348623157e308, 5e-324)[end],
                                           bool(end), (0, 65535)[end]])

    def test_floats_keep_signed_zero_nan_and_infinities(self):
        for special in (-0.0, 0.0, math.inf, -math.inf, math.nan, 1.401298464324817e-45):
            with self.subTest(special=special):
                self.assert_round_trip([0] * 8 + [special, special, False, 0])
        self.assertEqual(all_types(*[0] * 8 + [math.nan, 0.0, False, 0]).encode()[30:34], b"\x00\x00\xc0\x7f")

    def test_seeded_random_bodies(self):
        rng = random.Random(23)
        for _ in range(500):
            values = [rng.randint(low, high) for low, high in BOUNDS]
            values += [struct.unpack("<f", struct.pack("<f", rng.uniform(-1e30, 1e30)))[0],
                       rng.uniform(-1e300, 1e300), rng.random() < 0.5, rng.randint(0, 65535)]
            self.assert_round_trip(values)

    def test_absent_appended_field_takes_its_default_and_extra_bytes_are_counted(self):
        full = ALL_TYPES.pack(*[1] * 8 + [1.0, 1.0, True, 7])
        short = TYPES.decode(1, 0, full[:-2])
        self.assertEqual((short.later, short.extra), (513, 0))
        self.assertEqual(short.encode(), full[:-2] + b"\x01\x02")
        longer = TYPES.decode(1, "write", full + b"\xaa\xbb\xcc")
        self.assertEqual((longer.later, longer.extra), (7, 3))
        self.assertEqual(longer, TYPES.decode(1, 0, full))

    def test_shaped_fields(self):
        shaped = TYPES.messages["shaped"]
        message = shaped(level="high", temp=21.5, cells=(1, 2, 65535), note="h\u00e9llo!!",
                         flags={"on": True, "mode": "high", "count": 15})
        # 21.5 degC is raw (21.5 + 40) / 0.1 = 615; flags: on | 7 << 1 | 15 << 4.
        body = struct.pack("<Bh3HH", 7, 615, 1, 2, 65535, 1 | 7 << 1 | 15 << 4) + "h\u00e9llo!!".encode()
        self.assertEqual(message.encode(), body)
        decoded = TYPES.decode(2, 3, body)
        self.assertEqual(decoded, message)
        self.assertIs(decoded.level, TYPES.enums["Level"].high)
        self.assertEqual((decoded.temp, decoded.cells, decoded.note), (21.5, [1, 2, 65535], "h\u00e9llo!!"))
        self.assertEqual((decoded.flags.on, decoded.flags.mode, decoded.flags.count), (True, 7, 15))
        self.assertEqual(repr(decoded), "shaped(level=Level.high, temp=21.5, cells=[1, 2, 65535], "
                                        "flags=flags(on=True, mode=Level.high, count=15), note='h\u00e9llo!!')")

    def test_invalid_sentinel_unknown_enum_and_unused_bits(self):
        body = struct.pack("<Bh3HH", 4, -32768, 0, 0, 0, 0xF800 | 3 << 1)
        decoded = TYPES.decode(2, 3, body)
        self.assertEqual((decoded.level, decoded.temp, decoded.flags.mode, decoded.note), (4, None, 3, ""))
        self.assertNotIsInstance(decoded.level, TYPES.enums["Level"])
        again = TYPES.messages["shaped"](level="low", temp=None, cells=[0, 0, 0], flags={}, note="")
        self.assertEqual(again.encode()[1:3], b"\x00\x80")

    def test_empty_and_longest_variable_fields(self):
        blob = TYPES.messages["blob"]
        for data in (b"", bytes(range(16))):
            body = blob(kind=1, data=data).encode()
            self.assertEqual(body, b"\x01" + data)
            self.assertEqual(TYPES.decode(2, 0, body).data, data)
        self.assertEqual(TYPES.decode(2, 0, b"\x03").data, b"")
        longest = "\u00e9" * 4
        self.assertEqual(TYPES.messages["shaped"](level=0, temp=0, cells=[0] * 3, flags={}, note=longest).encode()[-8:],
                         longest.encode())

    def test_engine_messages_are_built_in(self):
        reply = TYPES.decode(63, 2, bytes.fromhex("A4860100"))
        self.assertEqual((type(reply).__name__, reply.version), ("engine_version_reply", 100004))
        for message_id in (60, 61, 62):
            self.assertEqual(TYPES.decode(message_id, 1, b"").encode(), b"")
        self.assertEqual(TYPES.messages["engine_version_reply"](version=100004).encode(), b"\xa4\x86\x01\x00")


class ScaleTest(unittest.TestCase):
    def test_half_to_even_on_the_decimal_value(self):
        scaled = schema.TypedSchema(schema.parse({"format": 1, "name": "s", "revision": 1, "messages": [
            {"name": "m", "id": 0, "type": "write", "fields": [
                {"name": "v", "type": "i32", "scale": 0.1},
                {"name": "w", "type": "i32", "scale": 0.01}]}]})).messages["m"]
        for v, raw in ((0.15, 2), (0.25, 2), (0.35, 4), (-0.15, -2), (-0.25, -2), (0.05, 0), (1.0, 10),
                       (0.14999, 1), (123456.75, 1234568)):
            with self.subTest(v=v):
                self.assertEqual(scaled(v=v, w=0).encode()[:4], struct.pack("<i", raw))
        self.assertEqual(scaled(v=0, w=1.005).encode()[4:], struct.pack("<i", 100))
        self.assertEqual(scaled(v=0, w=1.015).encode()[4:], struct.pack("<i", 102))
        self.assertEqual(scaled.decode(struct.pack("<ii", 3, 7)).fields(), {"v": 0.3, "w": 0.07})


# Appended fields of every kind, absent from a revision-1 body.
APPENDED = schema.TypedSchema(schema.parse({
    "format": 1, "name": "appended", "revision": 2, "enums": {"Level": {"low": 0, "high": 7}},
    "messages": [{"name": "grown", "id": 3, "type": "write", "fields": [
        {"name": "base", "type": "u8"},
        {"name": "level", "type": "u8", "enum": "Level", "default": "high", "since": 2},
        {"name": "temp", "type": "i16", "scale": 0.5, "offset": 10, "default": 11.5, "since": 2},
        {"name": "pair", "type": "i8", "count": 2, "default": -3, "since": 2},
        {"name": "flags", "type": "u8", "default": 31, "since": 2,
         "bits": [{"name": "on"}, {"name": "mode", "width": 3, "enum": "Level"}, {"name": "count", "width": 4}]},
        {"name": "ok", "type": "bool", "default": True, "since": 2},
        {"name": "note", "type": "string", "max": 4, "since": 2}]}]}, "appended.json"))


class ValueFormsTest(unittest.TestCase):
    """Every form a value may take gives the body of its plainest form,
    whether given to the constructor or set on the instance afterwards."""

    # level high, temp (21.5 + 40) / 0.1, cells, flags on | high << 1 | 15 << 4, note
    BODY = struct.pack("<Bh3HH", 7, 615, 1, 2, 65535, 1 | 7 << 1 | 15 << 4) + b"ok"

    def shaped(self, **values):
        return TYPES.messages["shaped"](**dict(dict(level="high", temp=21.5, cells=[1, 2, 65535], note="ok",
                                                    flags={"on": True, "mode": "high", "count": 15}), **values))

    def test_constructor_forms(self):
        level = TYPES.enums["Level"]
        flags = TYPES.messages["shaped"](**GOOD_SHAPED).flags
        flags.on, flags.mode, flags.count = True, level.high, 15
        for name, values in (("plain", {}), ("enum member", dict(level=level.high)), ("enum number", dict(level=7)),
                             ("tuple", dict(cells=(1, 2, 65535))), ("bits instance", dict(flags=flags)),
                             ("bit numbers", dict(flags={"on": 1, "mode": 7, "count": 15}))):
            with self.subTest(name):
                self.assertEqual(self.shaped(**values).encode(), self.BODY)

    def test_values_set_after_construction(self):
        level = TYPES.enums["Level"]
        for name, change in (
                ("enum name", lambda m: setattr(m, "level", "high")),
                ("enum number", lambda m: setattr(m, "level", 7)),
                ("array as a tuple", lambda m: setattr(m, "cells", (1, 2, 65535))),
                ("bits as a dict", lambda m: setattr(m, "flags", {"on": True, "mode": "high", "count": 15})),
                ("bit enum by name", lambda m: setattr(m.flags, "mode", "high")),
                ("bit enum by number", lambda m: setattr(m.flags, "mode", 7)),
                ("lone bit as 1", lambda m: setattr(m.flags, "on", 1)),
                ("bit enum member", lambda m: setattr(m.flags, "mode", level.high))):
            with self.subTest(name):
                message = self.shaped()
                change(message)
                self.assertEqual(message.encode(), self.BODY)

    def test_scaled_ints_floats_and_none(self):
        shaped = TYPES.messages["shaped"]
        for temp, raw in ((20, 600), (20.0, 600), (-40, 0), (-0.0, 400), (None, -32768), (3236.7, 32767),
                          (-3316.7, -32767), (3236.65, 32766), (-3316.65, -32766), (0.05, 400), (0.15, 402)):
            with self.subTest(temp=temp):
                self.assertEqual(shaped(**dict(GOOD_SHAPED, temp=temp)).encode()[1:3], struct.pack("<h", raw))

    def test_scaled_values_round_half_to_even_on_their_decimal_value(self):
        shaped = TYPES.messages["shaped"]
        rng = random.Random(2023)
        values = [rng.uniform(-3316.7, 3236.7) for _ in range(1000)]
        values += [(rng.randint(-32767, 32766) + 0.5) / 10 - 40 for _ in range(1000)]  # near a half
        values += [rng.randint(-3316, 3236) for _ in range(100)]
        for temp in values:
            raw = round((Fraction(repr(temp)) + 40) * 10)
            if raw == -32768:
                continue  # the invalid value, refused below
            self.assertEqual(shaped(**dict(GOOD_SHAPED, temp=temp)).encode()[1:3], struct.pack("<h", raw), temp)

    def test_variable_fields_take_text_and_every_bytes_kind(self):
        shaped, blob = TYPES.messages["shaped"], TYPES.messages["blob"]
        for note in ("", "ok", "h\u00e9llo!!", "\u00e9" * 4, "12345678"):
            with self.subTest(note=note):
                message = shaped(**dict(GOOD_SHAPED, note=note))
                self.assertEqual(message.encode()[11:], note.encode())
                self.assertEqual(TYPES.decode(2, 3, message.encode()).note, note)
        for data in (b"\x00\xff", bytearray(b"\x00\xff"), memoryview(b"\x00\xff")):
            with self.subTest(data=type(data)):
                self.assertEqual(blob(kind=1, data=data).encode(), b"\x01\x00\xff")
        self.assertEqual(TYPES.decode(2, 0, bytearray(b"\x01ab")).data, b"ab")
        self.assertEqual(TYPES.decode(2, 3, memoryview(ALL_SHAPED + b"ok")).note, "ok")

    def test_absent_appended_fields_decode_to_their_defaults(self):
        grown = APPENDED.messages["grown"]
        level = APPENDED.enums["Level"]
        first, second = APPENDED.decode(3, 0, b"\x09"), APPENDED.decode(3, "write", b"\x09")
        self.assertEqual(first, grown(base=9))
        self.assertEqual((first.level, first.temp, first.pair, first.ok, first.note, first.extra),
                         (level.high, 11.5, [-3, -3], True, "", 0))
        self.assertIs(first.level, level.high)
        # 31 = on | high << 1 | 1 << 4
        self.assertEqual((first.flags.on, first.flags.mode, first.flags.count), (True, level.high, 1))
        self.assertIs(first.flags.mode, level.high)
        first.flags.count = 2
        first.pair[0] = 5
        self.assertEqual((second.flags.count, second.pair), (1, [-3, -3]))
        self.assertEqual(second.encode(), struct.pack("<BBh2bBB", 9, 7, 3, -3, -3, 31, 1))


ALL_SHAPED = struct.pack("<Bh3HH", 0, 0, 0, 0, 0, 0)


def bad(message, **values):
    return lambda: TYPES.messages[message](**values).encode()


GOOD_SHAPED = dict(level=0, temp=0, cells=[0, 0, 0], flags={}, note="")


class RefusalTest(unittest.TestCase):
    def test_encode_errors_name_the_field_and_the_limit(self):
        base = dict(zip("a b c d e f g h x y ok".split(), [0] * 8 + [0.0, 0.0, False]))
        for name, call, text in (
                ("int over", bad("all_types", **dict(base, a=256)), "all_types.a: 256 is outside u8's 0 to 255"),
                ("int under", bad("all_types", **dict(base, h=-2 ** 63 - 1)), "all_types.h: -9223372036854775809"),
                ("float for int", bad("all_types", **dict(base, c=1.5)), "all_types.c: must be an integer"),
                ("bool for int", bad("all_types", **dict(base, c=True)), "all_types.c: must be an integer"),
                ("f32 overflow", bad("all_types", **dict(base, x=1e39)), "all_types.x: 1e+39 is beyond"),
                ("bool 2", bad("all_types", **dict(base, ok=2)), "all_types.ok: must be true or false"),
                ("missing", bad("all_types"), "all_types.a: missing"),
                ("unknown field", bad("all_types", **dict(base, z=1)), "all_types.z: no such field"),
                ("unknown enum", bad("shaped", **dict(GOOD_SHAPED, level="mid")), "shaped.level: str 'mid' is not"),
                ("enum number", bad("shaped", **dict(GOOD_SHAPED, level=3)), "shaped.level: int 3 is not a Level"),
                ("scaled over", bad("shaped", **dict(GOOD_SHAPED, temp=3300)), "shaped.temp: 3300 is raw 33400"),
                ("sentinel", bad("shaped", **dict(GOOD_SHAPED, temp=-3316.8)), "is the invalid value -32768"),
                ("nan scaled", bad("shaped", **dict(GOOD_SHAPED, temp=math.nan)), "must be a finite number"),
                ("array length", bad("shaped", **dict(GOOD_SHAPED, cells=[1, 2])), "must be a list of 3 values"),
                ("array item", bad("shaped", **dict(GOOD_SHAPED, cells=[1, 2, -1])), "shaped.cells[2]: -1 is"),
                ("bool in array", bad("shaped", **dict(GOOD_SHAPED, cells=[1, True, 3])),
                 "shaped.cells[1]: must be an integer, not bool True"),
                ("float in array", bad("shaped", **dict(GOOD_SHAPED, cells=[1, 2.0, 3])), "shaped.cells[1]: must be"),
                ("scaled half past the top", bad("shaped", **dict(GOOD_SHAPED, temp=3236.75)),
                 "shaped.temp: 3236.75 is raw 32768, outside i16's"),
                ("scaled half to the sentinel", bad("shaped", **dict(GOOD_SHAPED, temp=-3316.75)), "invalid value"),
                ("scaled bool", bad("shaped", **dict(GOOD_SHAPED, temp=True)), "shaped.temp: must be a number"),
                ("scaled infinity", bad("shaped", **dict(GOOD_SHAPED, temp=-math.inf)), "must be a finite number"),
                ("lone bit 2", bad("shaped", **dict(GOOD_SHAPED, flags={"on": 2})), "shaped.flags.on: must be true"),
                ("bool for a bit run", bad("shaped", **dict(GOOD_SHAPED, flags={"count": True})), "does not fit 4"),
                ("unknown bit enum", bad("shaped", **dict(GOOD_SHAPED, flags={"mode": "mid"})),
                 "shaped.flags.mode: str 'mid' is not a Level"),
                ("ASCII too long", bad("shaped", **dict(GOOD_SHAPED, note="123456789")), "9 bytes of UTF-8, more"),
                ("lone surrogate", bad("shaped", **dict(GOOD_SHAPED, note="\ud800")), "not encodable as UTF-8"),
                ("str for bytes", bad("blob", kind=1, data="ab"), "blob.data: must be bytes, not str"),
                ("bits over width", bad("shaped", **dict(GOOD_SHAPED, flags={"count": 16})), "does not fit 4 bits"),
                ("unknown bit", bad("shaped", **dict(GOOD_SHAPED, flags={"of": 1})), "shaped.flags.of: no such bit"),
                ("string bytes", bad("shaped", **dict(GOOD_SHAPED, note="\u00e9" * 5)), "10 bytes of UTF-8, more"),
                ("nul", bad("shaped", **dict(GOOD_SHAPED, note="a\0")), "holds a NUL"),
                ("bytes for string", bad("shaped", **dict(GOOD_SHAPED, note=b"a")), "must be str"),
                ("below min", bad("blob", kind=0), "blob.kind: 0 is below the minimum 1"),
                ("above max", bad("blob", kind=4), "blob.kind: 4 is above the maximum 3"),
                ("bytes too long", bad("blob", kind=1, data=bytes(17)), "17 bytes, more than its max 16")):
            with self.subTest(name), self.assertRaises(EncodeError) as caught:
                call()
            self.assertIn(text, str(caught.exception))
            self.assertIsInstance(caught.exception, KorvaError)

    def test_decode_errors_name_the_fault(self):
        full = ALL_TYPES.pack(*[0] * 8 + [0.0, 0.0, False, 0])
        shaped = struct.pack("<Bh3HH", 0, 0, 0, 0, 0, 0)
        for name, key, body, status, text in (
                ("empty", (1, 0), b"", "short", "all_types: 0 bytes, fewer than the 43"),
                ("one short", (1, 0), full[:42], "short", "fewer than the 43"),
                ("inside later", (1, 0), full[:44], "partial", "all_types.later: the body ends inside it"),
                ("bool byte 2", (1, 0), full[:42] + b"\x02" + full[43:], "bad_bool", "all_types.ok: bool byte 2"),
                ("inside array", (2, 3), shaped[:5], "short", "shaped: 5 bytes"),
                ("not utf-8", (2, 3), shaped + b"\xc3", "bad_text", "shaped.note: not UTF-8"),
                ("nul in text", (2, 3), shaped + b"a\0", "bad_text", "shaped.note: the text holds a NUL"),
                ("too long", (2, 3), shaped + b"a" * 9, "too_long", "shaped.note: 9 bytes, more than its max 8"),
                ("too long, not ASCII", (2, 3), shaped + "\u00e9".encode() * 5, "too_long", "10 bytes, more"),
                ("bytes too long", (2, 0), b"\x01" + bytes(17), "too_long", "blob.data: 17 bytes, more than"),
                ("inside bytes' fixed part", (2, 0), b"", "short", "blob: 0 bytes"),
                ("unknown message", (9, 0), b"", "unknown", "every: no message has id 9")):
            with self.subTest(name), self.assertRaises(DecodeError) as caught:
                TYPES.decode(*key, body)
            self.assertEqual(caught.exception.status, status)
            self.assertIn(text, str(caught.exception))

    def test_a_message_ending_in_a_variable_field_counts_no_extra(self):
        decoded = TYPES.decode(2, 3, struct.pack("<Bh3HH", 0, 0, 0, 0, 0, 0) + b"abc")
        self.assertEqual((decoded.note, decoded.extra), ("abc", 0))


if __name__ == "__main__":
    unittest.main()
