"""Schema files: every rule a bad file breaks gives one line naming the file,
the element and the reason; TOML and JSON read the same; the fingerprint is
the CRC-32 of the canonical bytes."""

import copy
import gzip
import json
import os
import struct
import sys
import tempfile
import unittest
from unittest import mock

from korva import schema
from korva.errors import KorvaError

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
GOOD = {"format": 1, "name": "m", "revision": 2,
        "enums": {"Mode": {"idle": 0, "run": 1}},
        "messages": [{"name": "a", "id": 1, "type": "request", "reply": "b",
                      "fields": [{"name": "x", "type": "u8"}]},
                     {"name": "b", "id": 1, "type": "response", "fields": [{"name": "y", "type": "i16"}]}]}


def changed(path, value):
    """GOOD with the element at `path` (keys and indexes) set to `value`;
    a value of ... deletes it."""
    data = copy.deepcopy(GOOD)
    *parents, last = path
    target = data
    for key in parents:
        target = target[key]
    if value is ...:
        del target[last]
    elif isinstance(target, list) and last == len(target):
        target.append(value)
    else:
        target[last] = value
    return data


def field(**keys):
    return changed(("messages", 0, "fields", 1), dict({"name": "z"}, **keys))


class RuleTest(unittest.TestCase):
    def test_each_broken_rule_is_one_line_naming_the_element(self):
        for data, text in (
                (changed(("messages", 0, "fields", 0, "unti"), "ms"), "m.json: a.x: unknown key 'unti'"),
                (changed(("colour",), 1), "m.json: unknown key 'colour'"),
                (changed(("format",), 2), "m.json: format: 2 is outside 1 to 1"),
                (changed(("revision",), ...), "m.json: 'revision' is missing"),
                (changed(("messages", 0, "fields", 0, "type"), "u7"), "m.json: a.x.type: str 'u7' is not one of"),
                (changed(("messages", 1, "id"), 60), "m.json: b.id: 60 is outside 0 to 59"),
                (changed(("messages", 1, "type"), "request"), "m.json: b: request id 1 is also a"),
                (changed(("messages", 1, "name"), "a"), "m.json: a: a second message of that name"),
                (changed(("messages", 1, "name"), "engine_version"), "engine_version: a second message"),
                (changed(("messages", 0, "reply"), "c"), "m.json: a.reply: no response is called 'c'"),
                (changed(("messages", 1, "id"), 2), "a.reply: b has id 2, not 1"),
                (changed(("messages", 0, "fields", 0, "name"), "while"), "a.fields[0].name: 'while' is a keyword"),
                (changed(("messages", 0, "fields", 0, "name"), "extra"), "'extra' is taken by the message class"),
                (changed(("messages", 0, "fields", 0, "since"), 3), "a.x.since: 3 is outside 1 to 2"),
                (changed(("messages", 0, "fields"), [{"name": "p", "type": "u8", "since": 2},
                                                     {"name": "q", "type": "u8"}]),
                 "a.q: since 1 is before 2"),
                (field(type="u8", default=256), "a.z.default: 256 is outside what u8 carries (0 to 255)"),
                (field(type="i16", scale=0.1, max=3276.8), "a.z.max: 3276.8 is outside what i16 carries"),
                (field(type="u8", min=5, max=4), "a.z: min 5 is above max 4"),
                (field(type="u8", default=1.5), "a.z.default: must be an integer, not float 1.5"),
                (field(type="u8", enum="Nope"), "a.z.enum: no enum is called 'Nope'"),
                (field(type="u8", enum="Mode", default="walk"), "a.z.default: str 'walk' is not a value of Mode"),
                (field(type="u8", enum="Mode", scale=2), "a.z: 'scale' does not apply to u8 fields with enum"),
                (field(type="f32", scale=2), "a.z: 'scale' does not apply to f32 fields"),
                (field(type="bool", default=1), "a.z.default: must be true or false, not int 1"),
                (field(type="u8", invalid=300), "a.z.invalid: 300 is outside 0 to 255"),
                (field(type="u8", bits=[{"name": "p", "width": 5}, {"name": "q", "width": 4}]),
                 "a.z.q: the bits need 9 bits, more than a u8 has"),
                (field(type="i8", bits=[{"name": "p"}]), "'bits' does not apply to i8 fields with bits"),
                (field(type="string"), "a.z: a string field needs 'max'"),
                (field(type="string", max=255), "a: the longest body is 256 bytes, more than 255"),
                (changed(("messages", 0, "fields"), [{"name": "s", "type": "bytes", "max": 4},
                                                     {"name": "t", "type": "u8"}]),
                 "a.t: follows 's', a variable field, which must be last"),
                (changed(("enums", "Mode", "run"), 0), "enums.Mode.run: value 0 is also idle's"),
                (dict(changed(("enums", "Mode"), {"run": 1}), messages=[
                     {"name": "a", "id": 1, "type": "write",
                      "fields": [{"name": "x", "type": "u8"}, {"name": "z", "type": "u8", "enum": "Mode",
                                                               "since": 2}]}]),
                 "a.z: when absent it holds 0, which Mode does not name; give a default"),
                (field(type="u8", default=float("nan")), "a.z.default: must be a finite number")):
            with self.subTest(text), self.assertRaises(schema.SchemaError) as caught:
                schema.parse(data, "m.json")
            self.assertIn(text, str(caught.exception))
            self.assertNotIn("\n", str(caught.exception))
            self.assertIsInstance(caught.exception, KorvaError)

    def test_good_data_reads_with_derived_sizes(self):
        model = schema.parse(GOOD, "m.json")
        self.assertEqual([(m.name, m.min_size, m.max_size, m.type_number) for m in model.messages],
                         [("a", 1, 1, 1), ("b", 2, 2, 2)])
        self.assertIs(model.find(1, "response"), model.messages[1])
        self.assertEqual(model.find(63, 2).fields[0].type, "u32")


class FileTest(unittest.TestCase):
    def test_toml_and_its_json_twin_are_one_schema(self):
        toml_file, json_file = (os.path.join(EXAMPLES, "motor." + kind) for kind in ("toml", "json"))
        self.assertEqual(schema.read(toml_file), schema.read(json_file))
        self.assertEqual(schema.load(toml_file).fingerprint, schema.load(json_file).fingerprint)

    def test_syntax_errors_and_repeated_json_keys_are_one_line(self):
        with tempfile.TemporaryDirectory() as folder:
            for name, text, message in (("bad.toml", 'format = 1\nname = "m"\nname = "n"\n', "bad.toml: "),
                                        ("bad.json", '{"format": 1, "format": 1}', "key 'format' given twice"),
                                        ("bad.yaml", "format: 1", "a schema file is .toml or .json")):
                path = os.path.join(folder, name)
                with open(path, "w") as file:
                    file.write(text)
                with self.subTest(name), self.assertRaises(schema.SchemaError) as caught:
                    schema.read(path)
                self.assertIn(message, str(caught.exception))
                self.assertNotIn("\n", str(caught.exception))

    def test_without_a_toml_reader_the_error_names_the_package_and_json_still_reads(self):
        blocked = {"tomllib": None, "tomli": None}
        with mock.patch.dict(sys.modules, blocked):
            with self.assertRaises(schema.SchemaError) as caught:
                schema.read(os.path.join(EXAMPLES, "motor.toml"))
            self.assertIn("python3-tomli", str(caught.exception))
            self.assertIn("a .json schema works", str(caught.exception))
            self.assertEqual(schema.read(os.path.join(EXAMPLES, "motor.json")).name, "motor")


class CanonicalTest(unittest.TestCase):
    TINY = {"format": 1, "name": "t", "revision": 1, "messages": [
        {"name": "b", "id": 2, "type": "write", "doc": "dropped", "fields": [{"name": "v", "type": "u8", "since": 1}]},
        {"name": "a", "id": 1, "type": "indicate", "fields": [{"name": "w", "type": "f32"}]}]}
    # Written by hand from the documented rules: keys sorted, no spaces,
    # messages by (id, type), doc and defaults left out.
    TINY_CANONICAL = ('{"format":1,"messages":[{"fields":[{"name":"w","type":"f32"}],"id":1,"name":"a",'
                      '"type":"indicate"},{"fields":[{"name":"v","type":"u8"}],"id":2,"name":"b","type":"write"}],'
                      '"name":"t","revision":1}')

    def test_canonical_bytes_and_a_crc_computed_by_gzip(self):
        model = schema.parse(self.TINY)
        self.assertEqual(schema.canonical(model), self.TINY_CANONICAL)
        # A gzip member ends with the CRC-32 of its data, little-endian.
        trailer_crc = struct.unpack("<I", gzip.compress(self.TINY_CANONICAL.encode())[-8:-4])[0]
        self.assertEqual(schema.fingerprint(model), "%08x" % trailer_crc)

    def test_canonical_form_reads_back_to_the_same_fingerprint(self):
        model = schema.read(os.path.join(EXAMPLES, "motor.toml"))
        again = schema.parse(json.loads(schema.canonical(model)))
        self.assertEqual(schema.canonical(again), schema.canonical(model))
        self.assertRegex(schema.fingerprint(model), r"\A[0-9a-f]{8}\Z")

    def test_restriction_leaves_out_what_came_later(self):
        model = schema.read(os.path.join(EXAMPLES, "motor.toml"))
        first = schema.restrict(model, 1)
        self.assertEqual([f.name for f in first.message("set_speed").fields], ["rpm", "mode"])
        self.assertEqual([v.name for v in first.enum("Mode").values], ["idle", "run"])
        self.assertEqual(first.revision, 1)
        with self.assertRaises(ValueError):
            schema.restrict(model, 3)


if __name__ == "__main__":
    unittest.main()
