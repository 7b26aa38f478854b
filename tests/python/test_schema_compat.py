"""The compatibility matrix: pairs of schemas and the verdict of
`korva.schema.check`, with the path of each breaking change."""

import copy
import os
import sys
import unittest

from korva import schema

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib

with open(os.path.join(os.path.dirname(__file__), "schemas", "pump.toml"), "rb") as pump_file:
    OLD = tomllib.load(pump_file)


def status_fields(data):
    return data["messages"][0]["fields"]


def next_revision(change):
    """OLD at revision 2 with `change` applied to its data."""
    def build():
        data = copy.deepcopy(OLD)
        data["revision"] = 2
        change(data)
        return data
    return build


def same_revision(change):
    def build():
        data = copy.deepcopy(OLD)
        change(data)
        return data
    return build


ACCEPTED = {
    "append with since and default": next_revision(lambda d: status_fields(d).append(
        {"name": "temp", "type": "i16", "since": 2, "default": -1})),
    "new message": next_revision(lambda d: d["messages"].append(
        {"name": "stop", "id": 5, "type": "write", "since": 2})),
    "new enum value": next_revision(lambda d: d["enums"]["State"].update(fault={"value": 2, "since": 2})),
    "new bits field": next_revision(lambda d: status_fields(d).append(
        {"name": "alarms", "type": "u8", "since": 2, "bits": [{"name": "dry"}, {"name": "hot"}]})),
    "doc only": same_revision(lambda d: status_fields(d)[0].update(doc="litres per hour")),
}

REJECTED = {
    "reorder of same-size fields": (next_revision(lambda d: status_fields(d).insert(0, status_fields(d).pop(1))),
                                    ["status.flow: moved from position 1 to 2",
                                     "status.head: moved from position 2 to 1"]),
    "type change": (next_revision(lambda d: status_fields(d)[1].update(type="i16")),
                    ["status.head: type u16 -> i16"]),
    "count change": (next_revision(lambda d: status_fields(d)[2].update(count=5)),
                     ["status.cells: count 4 -> 5"]),
    "removal": (next_revision(lambda d: status_fields(d).pop()), ["status.state: removed"]),
    "message removal": (next_revision(lambda d: d["messages"].pop()), ["label: removed"]),
    "rename": (next_revision(lambda d: status_fields(d)[0].update(name="rate")), ["status.flow: renamed to rate"]),
    "message rename": (next_revision(lambda d: d["messages"][1].update(name="tag")), ["label: renamed to tag"]),
    "enum renumber": (next_revision(lambda d: d["enums"]["State"].update(on=2)), ["enums.State.on: value 1 -> 2"]),
    "append without since": (next_revision(lambda d: status_fields(d).append({"name": "temp", "type": "i16"})),
                             ["status.temp: added without a later since (1)"]),
    "change without a revision bump": (
        same_revision(lambda d: status_fields(d).append({"name": "temp", "type": "i16", "since": 1})),
        ["revision: still 1, yet the schema changed", "status.temp: added without a later since (1)"]),
    "unit change": (next_revision(lambda d: status_fields(d)[0].update(unit="m3/h")),
                    ["status.flow: unit l/h -> m3/h"]),
    "string max change": (next_revision(lambda d: d["messages"][1]["fields"][1].update(max=20)),
                          ["label.text: max 16 -> 20"]),
}


class MatrixTest(unittest.TestCase):
    def setUp(self):
        self.old = schema.parse(OLD, "pump.toml")

    def test_accepted_pairs(self):
        for name, build in ACCEPTED.items():
            with self.subTest(name):
                self.assertEqual(schema.check(schema.parse(build(), "new.toml"), self.old), [])
        doc_only = schema.parse(ACCEPTED["doc only"](), "new.toml")
        self.assertEqual(schema.fingerprint(doc_only), schema.fingerprint(self.old))

    def test_rejected_pairs_name_each_change(self):
        for name, (build, expected) in REJECTED.items():
            with self.subTest(name):
                self.assertEqual(schema.check(schema.parse(build(), "new.toml"), self.old), expected)

    def test_an_older_revision_is_refused(self):
        newer = schema.parse(ACCEPTED["new message"](), "new.toml")
        self.assertEqual(schema.check(self.old, newer), ["revision: 1 is older than 2"])

    def test_appending_after_the_trailing_string_is_refused_when_read(self):
        data = next_revision(lambda d: d["messages"][1]["fields"].append(
            {"name": "colour", "type": "u8", "since": 2}))()
        with self.assertRaises(schema.SchemaError) as caught:
            schema.parse(data, "new.toml")
        self.assertEqual(str(caught.exception), "new.toml: label.colour: follows 'text', a variable field, "
                                                "which must be last")

    def test_inserting_before_the_trailing_string_is_refused_when_read(self):
        data = next_revision(lambda d: d["messages"][1]["fields"].insert(
            1, {"name": "colour", "type": "u8", "since": 2}))()
        with self.assertRaises(schema.SchemaError) as caught:
            schema.parse(data, "new.toml")
        self.assertIn("label.text: since 1 is before 2", str(caught.exception))


if __name__ == "__main__":
    unittest.main()
