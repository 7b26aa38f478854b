"""The dissector `korva schema lua` writes, under tools/wireshark/korva.lua:
tshark, with the two scripts loaded in either order, shows the fields of
the golden vectors' bodies as the Python codec decodes them, selects frames
with display filters on fields, and flags each body the codec refuses with
its fault."""

import math
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from korva import frame
from korva.errors import DecodeError
from korva.pcap import PcapWriter
from korva.schema import load

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
KORVA_LUA = os.path.join(ROOT, "tools", "wireshark", "korva.lua")
MOTOR = os.path.join(ROOT, "examples", "motor.toml")
GAUGE = os.path.join(HERE, "schemas", "gauge.toml")

STATUSES = ("short", "partial", "bad_bool", "too_long", "bad_text", "extra")
EXACT_TEXT = ("short", "partial", "bad_bool", "too_long")  # bad_text's reason is Python's own words
FLOAT_DIGITS = {"f32": 6, "f64": 15}  # tshark prints floats with FLT_DIG digits, doubles with DBL_DIG
TSHARK_TIMEOUT = 120


def run(command):
    done = subprocess.run(command, capture_output=True, text=True, timeout=TSHARK_TIMEOUT)
    if done.returncode != 0:
        raise AssertionError("%s exited %d: %s" % (command[0], done.returncode, done.stderr))
    return done


class Vector:
    """A body of a message, decoded by the codec; `raw` holds the wire
    values of its fields as the golden vectors give them, when they do."""

    def __init__(self, typed, message, body, raw=None):
        definition = typed.model.message(message)
        self.message, self.id, self.type = message, definition.id, definition.type_number
        self.body, self.raw = body, raw or {}
        try:
            self.decoded, self.error = typed.decode(self.id, self.type, body), None
            self.status = "extra" if self.decoded.extra else "ok"
        except DecodeError as error:
            self.decoded, self.error, self.status = None, error, error.status

    @classmethod
    def parse(cls, typed, line):
        """One line of a golden vectors file."""
        words = line.split()
        vector = cls(typed, words[0], b"" if words[5] == "-" else bytes.fromhex(words[5]),
                     dict(word.split("=", 1) for word in words[7:]))
        assert vector.status == words[3], line
        return vector


class Capture:
    """A schema's dissector, written by the command line, and a capture of
    its golden vectors (or of `bodies`, (message, body) pairs), one frame
    each, in order."""

    def __init__(self, schema_path, folder, bodies=None):
        self.typed = load(schema_path)
        self.name = self.typed.name
        self.script = os.path.join(folder, self.name + ".lua")
        run([sys.executable, "-m", "korva", "schema", "lua", schema_path, "-o", self.script])
        if bodies is None:
            vectors_path = run([sys.executable, "-m", "korva", "schema", "vectors", schema_path, "-o", folder]
                               ).stdout.strip()
            with open(vectors_path) as file:
                self.vectors = [Vector.parse(self.typed, line) for line in file if not line.startswith("#")]
        else:
            self.vectors = [Vector(self.typed, message, body) for message, body in bodies]
        self.path = os.path.join(folder, "%s-%d.pcap" % (self.name, len(self.vectors)))
        with open(self.path, "wb") as file:
            writer = PcapWriter(file)
            for number, vector in enumerate(self.vectors):
                writer.write(number, frame.encode(1, 2, vector.type, vector.id, vector.body))

    def tshark(self, *args, schema_first=False):
        scripts = [self.script, KORVA_LUA] if schema_first else [KORVA_LUA, self.script]
        done = run(["tshark", "-X", "lua_script:" + scripts[0], "-X", "lua_script:" + scripts[1], "-r", self.path]
                   + list(args))
        lua_errors = [line for line in done.stderr.splitlines() if "Lua" in line]
        if lua_errors:
            raise AssertionError("tshark reported Lua errors: %s" % lua_errors)
        return done.stdout

    def frames(self, display_filter):
        return [int(line) for line in self.tshark("-Y", display_filter, "-T", "fields", "-e",
                                                  "frame.number").split()]


# -- what tshark prints of a value -------------------------------------------------


def columns(typed):
    """(abbreviation, message, expected) for every field column, where
    expected(vector) gives the values tshark should print, each made
    comparable by `comparable` (None: not known for this vector)."""
    for message in typed.model.messages:
        for field in message.fields:
            abbr = "%s.%s.%s" % (typed.name, message.name, field.name)
            kind = "f64" if field.scaled else field.type
            if field.bits:
                for bit in field.bits:
                    yield (abbr + "." + bit.name, message.name,
                           lambda vector, f=field.name, b=bit.name: [int(getattr(getattr(vector.decoded, f), b))])
                continue
            yield abbr, message.name, lambda vector, f=field.name, k=kind: values(k, getattr(vector.decoded, f))
            if field.scaled or field.invalid is not None:
                yield (abbr + ".raw", message.name,
                       lambda vector, f=field.name: [int(raw) for raw in vector.raw[f].split(",")]
                       if vector.raw else None)


def values(kind, value):
    if value is None or value in ("", b""):
        return []  # an invalid sentinel, an empty bytes field: no value shown
    if isinstance(value, list):
        return [item for element in value for item in values(kind, element)]
    if kind in FLOAT_DIGITS:
        return [comparable(float("%.*g" % (FLOAT_DIGITS[kind], value)))]
    if kind == "bytes":
        return [value.hex()]
    return [value if kind == "string" else int(value)]


def comparable(number):
    """NaN equal to NaN whatever its sign; -0.0 apart from 0.0."""
    return "nan" if math.isnan(number) else (number, math.copysign(1.0, number))


def shown(kind, cell):
    """The values of one tshark column, as `values` gives them."""
    if cell == "":
        return []
    if kind in FLOAT_DIGITS:
        return [comparable(float(text)) for text in cell.split(",")]
    if kind in ("string", "bytes"):
        return [cell]
    return [int(text) for text in cell.split(",")]


def kind_of(typed, abbr):
    message, field = abbr.split(".")[1:3]
    definition = next(item for item in typed.model.message(message).fields if item.name == field)
    if abbr.endswith(".raw") or definition.bits:
        return "i64"
    return "f64" if definition.scaled else definition.type


def decoded(message, test):
    """A vector the codec decodes as `message`, passing `test`."""
    return lambda vector: vector.decoded is not None and vector.message == message and test(vector.decoded)


@unittest.skipUnless(shutil.which("tshark"), "tshark is not installed")
class SchemaDissectorTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.motor = Capture(MOTOR, cls.folder.name)
        cls.gauge = Capture(GAUGE, cls.folder.name)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def assert_frames_decoded_as_the_codec_does(self, capture, schema_first):
        fields = list(columns(capture.typed))
        experts = ["%s.%s" % (capture.name, status) for status in STATUSES]
        names = ["%s.message" % capture.name, "%s.extra.bytes" % capture.name, "_ws.expert.message"]
        args = ["-T", "fields"] + [arg for column in [abbr for abbr, _, _ in fields] + experts + names
                                   for arg in ("-e", column)]
        rows = [line.split("\t") for line in capture.tshark(*args, schema_first=schema_first).splitlines()]
        self.assertEqual(len(rows), len(capture.vectors))
        for number, (vector, row) in enumerate(zip(capture.vectors, rows), 1):
            where = "frame %d (%s %s %s)" % (number, vector.message, vector.status, vector.body.hex())
            cells = dict(zip([abbr for abbr, _, _ in fields] + experts + names, row))
            self.assertEqual(cells["%s.message" % capture.name], vector.message, where)
            raised = {"%s.%s" % (capture.name, vector.status)} if vector.status != "ok" else set()
            self.assertEqual({expert for expert in experts if cells[expert]}, raised, where)
            for abbr, message, expected in fields:
                want = expected(vector) if vector.decoded is not None and message == vector.message else []
                if want is not None:
                    self.assertEqual(shown(kind_of(capture.typed, abbr), cells[abbr]), want, "%s: %s" % (where, abbr))
            text = cells["_ws.expert.message"]
            extra = vector.body[capture.typed.model.message(vector.message).fixed_size:]
            if vector.error is not None:
                self.assertEqual(text.split(": ")[0], vector.error.path, where)
                if vector.status in EXACT_TEXT:
                    self.assertEqual(text, str(vector.error), where)
            else:
                self.assertEqual(text, "%s: %d bytes beyond the known fields" % (vector.message, len(extra))
                                 if vector.status == "extra" else "", where)
            self.assertEqual(cells["%s.extra.bytes" % capture.name],
                             extra.hex() if vector.status == "extra" else "", where)
            if vector.status == "extra":
                self.assertEqual(vector.decoded.extra, len(extra), where)

    def test_every_vector_shows_what_the_codec_decodes_whichever_script_loads_first(self):
        for capture in (self.motor, self.gauge):
            self.assertNotIn("Lua Error", capture.tshark("-V"))
            for schema_first in (False, True):
                with self.subTest(schema=capture.name, schema_first=schema_first):
                    self.assert_frames_decoded_as_the_codec_does(capture, schema_first)

    def test_text_is_utf8_as_python_reads_it(self):
        head = self.motor.typed.messages["status"](temp=None, cells=[1, 2, 3, 4], flags={}, note="").encode()
        notes = [b"plain", "\u00e9\u20ac\U0001f600".encode("utf-8"), b"\xed\x9f\xbf", b"\xef\xbf\xbf",
                 b"\xf4\x8f\xbf\xbf", b"\xc0\x80", b"\xc1\xbf", b"\xe0\x9f\xbf", b"\xed\xa0\x80",
                 b"\xf0\x8f\xbf\xbf", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xe2\x82", b"\x80",
                 b"a\xc3", b"\xc3\x28", b"\xe2\x28\xa1", b"\xf0\x90\x28\xbc", b"\xff"]
        with tempfile.TemporaryDirectory() as folder:
            capture = Capture(MOTOR, folder, [("status", head + note) for note in notes])
            self.assertEqual([vector.status for vector in capture.vectors], ["ok"] * 5 + ["bad_text"] * 14)
            for schema_first in (False, True):
                self.assert_frames_decoded_as_the_codec_does(capture, schema_first)

    def test_the_vectors_cover_every_status(self):
        seen = {vector.status for capture in (self.motor, self.gauge) for vector in capture.vectors}
        self.assertEqual(seen, set(STATUSES) | {"ok"})

    def test_display_filters_on_fields_select_exactly_the_decoded_frames(self):
        cases = [
            (self.motor, 'motor.set_speed.mode == "brake"', decoded("set_speed", lambda body: body.mode == 2)),
            (self.motor, "motor.status.flags.armed == 1", decoded("status", lambda body: body.flags.armed)),
            (self.motor, "motor.status.temp.raw < -32767 && !motor.status.temp",
             decoded("status", lambda body: body.temp is None)),
            (self.gauge, "gauge.sample.temp < -40", decoded("sample", lambda body: body.temp < -40)),
            (self.gauge, "gauge.sample.ready == 0", decoded("sample", lambda body: not body.ready)),
            (self.gauge, "gauge.short || gauge.partial", lambda vector: vector.status in ("short", "partial")),
        ]
        for capture, display_filter, chosen in cases:
            with self.subTest(display_filter):
                expected = [number for number, vector in enumerate(capture.vectors, 1) if chosen(vector)]
                self.assertTrue(0 < len(expected) < len(capture.vectors), expected)
                self.assertEqual(capture.frames(display_filter), expected)

    def test_absent_appended_fields_show_their_defaults(self):
        numbers = [number for number, vector in enumerate(self.motor.vectors, 1)
                   if vector.message == "set_speed" and len(vector.body) == 3]
        self.assertTrue(numbers)
        verbose = self.motor.tshark("-V", "-Y", "frame.number == %d" % numbers[0])
        self.assertIn("[ramp_ms: 100 ms (absent: default)]", verbose)

    def test_the_schema_script_alone_names_what_is_missing(self):
        done = subprocess.run(["tshark", "-X", "lua_script:" + self.gauge.script, "-r", self.gauge.path],
                              capture_output=True, text=True, timeout=TSHARK_TIMEOUT)
        self.assertIn("gauge: load korva.lua as well", done.stderr)


if __name__ == "__main__":
    unittest.main()
