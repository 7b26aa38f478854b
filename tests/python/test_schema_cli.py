"""`korva schema` check, fingerprint and vectors: exit statuses, the lines
printed, and the vectors file replayed against the codec."""

import contextlib
import io
import json
import os
import re
import struct
import tempfile
import unittest

from korva import cli, schema
from korva.schema.canonical import canonical_data

HERE = os.path.dirname(os.path.abspath(__file__))
MOTOR = os.path.join(HERE, "..", "..", "examples", "motor.toml")
PUMP = os.path.join(HERE, "schemas", "pump.toml")


def run(*argv):
    """(exit status, stdout lines, stderr lines) of one command."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = cli.main(["schema"] + list(argv))
        except SystemExit as leaving:
            status = leaving.code
    return status, out.getvalue().splitlines(), err.getvalue().splitlines()


class CommandTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def write(self, name, data):
        path = os.path.join(self.folder.name, name)
        with open(path, "w") as file:
            json.dump(data, file)
        return path

    def test_fingerprint_is_the_same_for_toml_and_json(self):
        status, toml_lines, _ = run("fingerprint", MOTOR)
        self.assertEqual(status, 0)
        self.assertRegex(toml_lines[0], r"\A[0-9a-f]{8}\Z")
        self.assertEqual(run("fingerprint", MOTOR[:-4] + "json"), (0, toml_lines, []))

    def test_check_of_one_file(self):
        self.assertEqual(run("check", PUMP)[:2], (0, ["%s: pump revision 1, fingerprint %s" % (
            PUMP, run("fingerprint", PUMP)[1][0])]))
        broken = self.write("broken.json", {"format": 1, "name": "b", "revision": 1, "messages": [
            {"name": "m", "id": 1, "type": "write", "fields": [{"name": "v", "type": "u8", "unti": "V"}]}]})
        self.assertEqual(run("check", broken), (1, [], ["korva schema: error: %s: m.v: unknown key 'unti'"
                                                       % broken]))

    def test_check_of_two_files(self):
        pump = canonical_data(schema.read(PUMP))
        grown = dict(pump, revision=2)
        grown["messages"] = pump["messages"] + [{"name": "stop", "id": 9, "type": "write", "since": 2}]
        grown_path = self.write("grown.json", grown)
        self.assertEqual(run("check", grown_path, PUMP),
                         (0, ["compatible: pump revision 2 speaks to revision 1"], []))
        changed = json.loads(json.dumps(grown))
        changed["messages"][0]["fields"][2]["count"] = 5
        changed["enums"]["State"]["on"] = 2
        self.assertEqual(run("check", self.write("changed.json", changed), PUMP),
                         (1, ["enums.State.on: value 1 -> 2", "status.cells: count 4 -> 5"], []))

    def test_usage_errors_exit_2(self):
        self.assertEqual(run("vectors", MOTOR)[0], 2)
        self.assertEqual(run("nonsense")[0], 2)


class VectorsTest(unittest.TestCase):
    """The vectors file read as a C program would, replayed against the codec
    and against `struct` layouts of the example schema."""

    LAYOUTS = {"set_speed": "<hBH", "speed": "<h", "get_speed": "<", "status": "<h4HB"}

    @classmethod
    def setUpClass(cls):
        with tempfile.TemporaryDirectory() as folder:
            status, lines, _ = run("vectors", MOTOR, "-o", folder)
            assert status == 0, lines
            with open(lines[0]) as file:
                cls.text = file.read()
        cls.rows = [line.split(" ") for line in cls.text.splitlines() if not line.startswith("#")]
        cls.typed = schema.load(MOTOR)

    def test_header_names_the_schema(self):
        self.assertTrue(self.text.startswith("# korva schema vectors 1: motor revision 2 fingerprint %s\n"
                                             % self.typed.fingerprint))

    def test_every_status_the_example_can_show_is_there(self):
        statuses = {row[3] for row in self.rows}
        self.assertEqual(statuses, {"ok", "extra", "short", "partial", "bad_text", "too_long"})
        self.assertIn(["set_speed", "5", "0", "ok", "0", "701702", "7017026400", "rpm=6000", "mode=2",
                       "ramp_ms=100"], self.rows)

    def test_rows_replay_against_the_codec_and_struct(self):
        for name, message_id, message_type, status, extra, body, repack, *fields in self.rows:
            body = bytes.fromhex(body) if body != "-" else b""
            with self.subTest(name=name, body=body.hex()):
                if status not in ("ok", "extra"):
                    with self.assertRaises(schema.DecodeError) as caught:
                        self.typed.decode(int(message_id), int(message_type), body)
                    self.assertEqual(caught.exception.status, status)
                    continue
                decoded = self.typed.decode(int(message_id), int(message_type), body)
                self.assertEqual(decoded.extra, int(extra))
                repacked = decoded.encode()
                self.assertEqual(repacked.hex() or "-", repack)
                layout = struct.Struct(self.LAYOUTS[name])
                raw = [str(value) for value in layout.unpack_from(repacked)]
                words = [re.sub(r"\A\w+=", "", word) for word in fields]
                if name == "status":
                    words = words[:1] + words[1].split(",") + words[2:3]
                    self.assertEqual(fields[-1], "note=" + repacked[layout.size:].hex())
                self.assertEqual(words[:len(raw)], raw)


if __name__ == "__main__":
    unittest.main()
