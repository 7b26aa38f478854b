"""The fleet tool (tools/fleet): its report's counts and percentiles on fixed
recorder lines, and a small fleet run through it with the central broker
killed and restarted: every frame arrives, none goes missing in `seq`."""

import json
import os
import shutil
import struct
import subprocess
import sys
import unittest

FLEET = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "fleet")
sys.path.insert(0, FLEET)
from tally import LinkTally, Recording, arrival_ns, percentile  # noqa: E402

BODY = struct.Struct("<QI")
SECOND = 1000000000


def line(arrived_ns, gateway, link, seq, number, written_ns):
    """A recorder line for a frame written at `written_ns` as number `number`."""
    payload = json.dumps({"transmitter_id": 3, "receiver_id": 1, "message_type": "indicate", "message_id": 5,
                          "data": BODY.pack(written_ns, number).hex(), "status": "ok", "seq": seq, "ts": 0.0})
    return "%d.%09d korva/%s/%s/frame/3/1/indicate/5 %s\n" % (arrived_ns // SECOND, arrived_ns % SECOND, gateway,
                                                             link, payload)


class StatisticsTest(unittest.TestCase):
    def test_percentiles_by_nearest_rank(self):
        hundred = list(range(1, 101))
        for values, share, expected in ((hundred, 0.5, 50), (hundred, 0.99, 99), (hundred, 1.0, 100),
                                        (hundred, 0.001, 1), ([7], 0.5, 7), ([7], 0.99, 7), ([1, 2], 0.5, 1),
                                        ([1, 2], 0.51, 2)):
            with self.subTest(count=len(values), share=share):
                self.assertEqual(percentile(values, share), expected)
        with self.assertRaises(ValueError):
            percentile([], 0.5)

    def test_arrival_times_to_the_nanosecond(self):
        for text, expected in (("1796749942.053764886", 1796749942053764886), ("12.5", 12500000000),
                               ("3.000000001", 3000000001), ("7", 7000000000)):
            with self.subTest(text=text):
                self.assertEqual(arrival_ns(text), expected)

    def test_duplicates_gaps_and_losses_of_one_link(self):
        tally = LinkTally()
        for seq, number in ((0, 0), (1, 1), (1, 1), (3, 3), (3, 3), (3, 3), (4, 4)):
            tally.add(seq, number, 5)
        self.assertEqual((tally.duplicates, tally.gaps), (3, 1))  # seq 1 once more, 3 twice more; 2 missing
        self.assertEqual(tally.lost(7), 3)  # numbers 2, 5 and 6
        self.assertEqual(tally.lost(5), 1)
        self.assertEqual((LinkTally().gaps, LinkTally().duplicates, LinkTally().lost(4)), (0, 0, 4))

    def test_a_recording_against_what_was_sent(self):
        start = 1700000000 * SECOND
        lines = ["%d.000000000 korva/gw1/a/status up\n" % (start // SECOND)]
        # gw1/a: numbers 0 to 3 at 1, 2, 3, 4 ms, number 1 delivered twice (the
        # second time late: its first arrival counts); gw1/b: number 1 never came.
        for number, latency_ms in ((0, 1), (1, 2), (1, 40), (2, 3), (3, 4)):
            lines.append(line(start + number * SECOND + latency_ms * 1000000, "gw1", "a", number, number,
                              start + number * SECOND))
        lines.append(line(start + 10 * 1000000, "gw1", "b", 0, 0, start))
        lines.append(line(start + 30 * 1000000, "gw1", "b", 1, 2, start))
        lines.append(line(start + 50 * 1000000, "gw9", "z", 0, 0, start))
        recording = Recording().read(lines)
        self.assertEqual(recording.statuses, {"gw1/a": "up"})
        summary = recording.summary({"gw1/a": 4, "gw1/b": 3})
        self.assertEqual(summary, {"sent": 7, "seen": 6, "lost": 1, "duplicates": 1, "gaps": 0,
                                   "p50_ms": 3.0, "p99_ms": 30.0, "max_ms": 30.0})
        self.assertEqual(recording.unknown_links({"gw1/a": 4, "gw1/b": 3}), ["gw9/z"])
        self.assertEqual(recording.summary({"gw2/c": 5})["lost"], 5)
        self.assertIsNone(recording.summary({"gw2/c": 5})["p99_ms"])


RATE, LINKS, GATEWAYS, DURATION = 20, 2, 2, 15
# A restarted broker may deliver again what a hop had not had acknowledged
# (each hop's window: 100 messages), and what it had saved (every second)
# before passing it on: QoS 1 is at least once.
DUPLICATES_AT_MOST = 2 * 100 + RATE * LINKS * GATEWAYS
RUN_WAIT = 300  # seconds for the whole run on a loaded machine


@unittest.skipUnless(all(shutil.which(program) for program in ("mosquitto", "mosquitto_sub", "mosquitto_passwd")),
                     "mosquitto and its clients are not installed")
class FleetRunTest(unittest.TestCase):
    def test_a_small_fleet_loses_nothing_across_a_central_outage(self):
        done = subprocess.run([sys.executable, os.path.join(FLEET, "run_fleet.py"), "--gateways", str(GATEWAYS),
                               "--links", str(LINKS), "--rate", str(RATE), "--duration", str(DURATION),
                               "--cut-uplink", "4", "--json"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                              timeout=RUN_WAIT)
        self.assertEqual(done.returncode, 0, done.stderr)
        report = json.loads(done.stdout)
        frames = report["frames"]
        self.assertEqual([fault["broker"] for fault in report["faults"]], ["central"])
        self.assertGreater(frames["sent"], 0.8 * RATE * LINKS * GATEWAYS * DURATION, frames)
        self.assertEqual((frames["seen"], frames["lost"], frames["gaps"]), (frames["sent"], 0, 0), frames)
        self.assertLessEqual(frames["duplicates"], DUPLICATES_AT_MOST, frames)
        self.assertEqual(sorted(report["by_gateway"]), ["gw1", "gw2"])
        self.assertEqual(sum(gateway["sent"] for gateway in report["by_gateway"].values()), frames["sent"])
        self.assertEqual(report["unknown_links"], [])
        self.assertGreater(report["gateway_cpu"]["per_frame_ms"], 0)


if __name__ == "__main__":
    unittest.main()
