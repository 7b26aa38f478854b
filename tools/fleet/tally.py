"""What a fleet's recorder saw, against what its devices sent: frames seen
once, duplicates, `seq` gaps and frames lost per link, and the latency of
each frame from its line to the recorder.

The recorder writes one line per message, as `mosquitto_sub -F '%U %t %p'`
prints it: the time it arrived (seconds since the epoch, to the
nanosecond), the topic and the gateway's JSON payload. A frame's body holds
the time it was written on its line and its number there (see peer.py)."""

import json
import math
import struct

__all__ = ["LinkTally", "Recording", "percentile", "arrival_ns"]

BODY = struct.Struct("<QI")  # as peer.py writes it: time written (ns), number on the line
_FRAME_LEVEL, _STATUS_LEVEL = "frame", "status"


def arrival_ns(text):
    """Nanoseconds since the epoch of a time written as SECONDS.NANOSECONDS."""
    seconds, _, fraction = text.partition(".")
    return int(seconds) * 1000000000 + int(fraction.ljust(9, "0")[:9])


def percentile(ordered, share):
    """The value at `share` (0 to 1) of sorted `ordered` by the nearest rank:
    the smallest value that at least that share of them do not exceed."""
    if not ordered:
        raise ValueError("no values")
    return ordered[max(math.ceil(share * len(ordered)), 1) - 1]


class LinkTally:
    """The frames of one link seen by the recorder."""

    def __init__(self):
        self.seqs = {}  # seq: times seen
        self.first_seen = {}  # number on the line: latency (ns) of its first arrival

    def add(self, seq, number, latency_ns):
        """One frame message: the gateway's `seq`, the frame's number on its
        line and how long it took from the line."""
        self.seqs[seq] = self.seqs.get(seq, 0) + 1
        self.first_seen.setdefault(number, latency_ns)

    @property
    def duplicates(self):
        """Messages of a `seq` seen before."""
        return sum(self.seqs.values()) - len(self.seqs)

    @property
    def gaps(self):
        """`seq` numbers never seen below the highest seen (a gateway
        numbers a link's frames from 0)."""
        return max(self.seqs) + 1 - len(self.seqs) if self.seqs else 0

    def lost(self, sent):
        """Frames among the first `sent` of the line that never arrived."""
        return sent - sum(1 for number in self.first_seen if number < sent)


class Recording:
    """Every link's tally from the recorder's lines."""

    def __init__(self):
        self.links = {}  # "gateway/link": LinkTally
        self.statuses = {}  # "gateway/link": its last status (text)

    def read(self, lines):
        """Take the recorder's lines (text)."""
        for line in lines:
            self.add(line)
        return self

    def add(self, line):
        """Take one recorder line."""
        arrived, topic, payload = line.rstrip("\n").split(" ", 2)
        levels = topic.split("/")
        if len(levels) != 8 or levels[3] != _FRAME_LEVEL:
            if len(levels) == 4 and levels[3] == _STATUS_LEVEL:
                self.statuses[levels[1] + "/" + levels[2]] = payload
            return
        document = json.loads(payload)
        written_ns, number = BODY.unpack(bytes.fromhex(document["data"]))
        tally = self.links.setdefault(levels[1] + "/" + levels[2], LinkTally())
        tally.add(document["seq"], number, arrival_ns(arrived) - written_ns)

    def unknown_links(self, sent):
        """Links with frames that are not among `sent`'s, sorted."""
        return sorted(set(self.links) - set(sent))

    def summary(self, sent):
        """Totals of the links of `sent` ({"gateway/link": frames written}):
        frames sent, seen (distinct), lost, duplicates and gaps, and latency
        p50, p99 and max in milliseconds (None if nothing arrived)."""
        empty = LinkTally()
        tallies = [(self.links.get(name, empty), count) for name, count in sent.items()]
        latencies = sorted(latency for tally, _ in tallies for latency in tally.first_seen.values())
        totals = {"sent": sum(sent.values()),
                  "seen": sum(len(tally.first_seen) for tally, _ in tallies),
                  "lost": sum(tally.lost(count) for tally, count in tallies),
                  "duplicates": sum(tally.duplicates for tally, _ in tallies),
                  "gaps": sum(tally.gaps for tally, _ in tallies)}
        for name, share in (("p50_ms", 0.5), ("p99_ms", 0.99), ("max_ms", 1.0)):
            totals[name] = percentile(latencies, share) / 1e6 if latencies else None
        return totals
