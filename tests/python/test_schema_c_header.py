"""`korva schema c`: the header's text for a known schema, and what the
generator refuses. Compiling the header and replaying the golden vectors
through it are the CTest tests schema.* (tests/schema)."""

import os
import re
import subprocess
import sys
import tempfile
import unittest

from korva.errors import SchemaError
from korva.schema import parse
from korva.schema.c_header import header

HERE = os.path.dirname(os.path.abspath(__file__))
MOTOR = os.path.join(HERE, "..", "..", "examples", "motor.toml")


def schema(messages, enums=None):
    return parse({"format": 1, "name": "s", "revision": 1, "enums": enums or {}, "messages": messages})


def defines(text):
    """{macro: value} of the header's #define lines (comments dropped)."""
    return dict(re.findall(r"^#define (\w+) (.+?)(?:  /\*.*)?$", text, re.M))


class HeaderTextTest(unittest.TestCase):

    def test_command_writes_the_header_of_a_schema_file(self):
        with tempfile.TemporaryDirectory() as folder:
            output = os.path.join(folder, "motor.korva.h")
            done = subprocess.run([sys.executable, "-m", "korva", "schema", "c", MOTOR, "-o", output],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
            self.assertEqual((done.returncode, done.stderr), (0, ""))
            with open(output) as file:
                text = file.read()
        fingerprint = subprocess.run([sys.executable, "-m", "korva", "schema", "fingerprint", MOTOR],
                                     stdout=subprocess.PIPE, universal_newlines=True, timeout=60).stdout.strip()
        self.assertEqual(re.findall(r"^#include (.*)$", text, re.M), ["<stdbool.h>", "<stdint.h>", "<string.h>"])
        macros = defines(text)
        expected = {
            "MOTOR_FINGERPRINT": "0x%sUL" % fingerprint, "MOTOR_REVISION": "2u",
            "MOTOR_MODE_BRAKE": "2",
            "MOTOR_SET_SPEED_ID": "5u", "MOTOR_SET_SPEED_TYPE": "0u", "MOTOR_SET_SPEED_KEY": "0x14u",
            "MOTOR_SET_SPEED_MIN_SIZE": "3u", "MOTOR_SET_SPEED_MAX_SIZE": "5u",
            "MOTOR_SET_SPEED_RPM_MIN": "(-6000)", "MOTOR_SET_SPEED_RPM_MAX": "6000",
            "MOTOR_SPEED_KEY": "0x1Au", "MOTOR_GET_SPEED_KEY": "0x19u",
            "MOTOR_STATUS_MIN_SIZE": "11u", "MOTOR_STATUS_MAX_SIZE": "43u",
            "MOTOR_STATUS_TEMP_INVALID": "(-32767 - 1)", "MOTOR_STATUS_TEMP_SCALE": "0.1",
            "MOTOR_STATUS_FLAGS_MODE_MASK": "0x1Cu", "MOTOR_STATUS_FLAGS_MODE_SHIFT": "2u",
            "MOTOR_STATUS_NOTE_MAX_LEN": "32u",
        }
        self.assertEqual({name: macros.get(name) for name in expected}, expected)
        for declaration in ("int motor_set_speed_pack(const motor_set_speed_t *m, uint8_t *body, uint8_t *len)",
                            "int motor_set_speed_unpack(motor_set_speed_t *m, const uint8_t *body, uint8_t len)",
                            "char note[33];", "uint8_t note_len;", "uint16_t cells[4];",
                            "inline int motor_send(Engine &engine, uint8_t receiver, const motor_status_t &m"):
            self.assertIn(declaration, text)

    def test_appended_field_lengths_and_default(self):
        text = header(schema([{"name": "m", "id": 1, "type": "write", "fields": [
            {"name": "a", "type": "u16"}, {"name": "b", "type": "i32", "default": -7, "since": 1}]}]))
        self.assertNotIn("KORVA_SCHEMA_PARTIAL;", text)  # nothing appended: only short and extra
        appended = parse({"format": 1, "name": "s", "revision": 2, "messages": [{"name": "m", "id": 1, "type": "write",
                          "fields": [{"name": "a", "type": "u16"}, {"name": "b", "type": "i32", "default": -7,
                                                                    "since": 2}]}]})
        text = header(appended)
        self.assertIn("if (len < 6u && len != 2u) {\n        return KORVA_SCHEMA_PARTIAL;", text)
        self.assertIn("m->b = (int32_t)(-7L);", text)

    def test_no_size_test_a_uint8_t_cannot_fail(self):
        # A 255-byte string and an empty message: `len > 255` or `len < 0`
        # would be warnings (-Wtype-limits), so they are left out.
        text = header(schema([{"name": "note", "id": 1, "type": "write",
                               "fields": [{"name": "text", "type": "string", "max": 255}]},
                              {"name": "ping", "id": 2, "type": "request"}]))
        self.assertNotIn("len > 255u", text)
        self.assertNotIn("m->text_len > 255u", text)
        self.assertNotIn("len < 0u", text)


class RefusedTest(unittest.TestCase):

    def test_macro_the_header_would_define_twice(self):
        # Enum X's value "id" and message x's id are both S_X_ID.
        with self.assertRaises(SchemaError) as caught:
            header(schema([{"name": "x", "id": 1, "type": "write"}], {"X": {"id": 1}}))
        self.assertIn("S_X_ID", str(caught.exception))
        self.assertEqual(len(str(caught.exception).splitlines()), 1)

    def test_member_clash_with_a_length(self):
        with self.assertRaises(SchemaError) as caught:
            header(schema([{"name": "m", "id": 1, "type": "write", "fields": [
                {"name": "note_len", "type": "u8"}, {"name": "note", "type": "bytes", "max": 4}]}]))
        self.assertIn("m.note_len", str(caught.exception))

    def test_command_fails_in_one_line(self):
        with tempfile.TemporaryDirectory() as folder:
            bad = os.path.join(folder, "bad.json")
            with open(bad, "w") as file:
                file.write('{"format": 1, "name": "s", "revision": 1, "enums": {"X": {"id": 1}},'
                           ' "messages": [{"name": "x", "id": 1, "type": "write"}]}')
            output = os.path.join(folder, "bad.korva.h")
            done = subprocess.run([sys.executable, "-m", "korva", "schema", "c", bad, "-o", output],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
            self.assertEqual(done.returncode, 1)
            self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
            self.assertIn("S_X_ID", done.stderr)
            self.assertFalse(os.path.exists(output))


if __name__ == "__main__":
    unittest.main()
