"""What `korva fleet` makes of the gateways' topic tree, with no broker in
sight: the fleet's table from the retained state of its links, frames and
`seq` gaps as lines, and a command's answer as an exit status and its
lines.

Exit statuses: 0 the command's answer was `ok`; 1 any other error; 2 a
usage error; then one for each way a command fails (EXIT_STATUSES).
"""

import datetime
import json
import typing

from . import monitor
from .errors import KorvaError
from .gateway.commands import BAD_REQUEST, LINK_DOWN, OK, TIMEOUT
from .gateway.payloads import BadPayload, read_frame
from .gateway.topics import STATE, BadTopic, split

__all__ = ["EXIT_ERROR", "EXIT_STATUSES", "EXIT_BROKER", "Answer", "FleetError", "Gap", "LinkState", "SeqGaps",
           "answer_lines", "frame_line", "gap_line", "list_json", "list_table", "no_answer"]

EXIT_ERROR = 1
EXIT_STATUSES = {OK: 0, TIMEOUT: 3, LINK_DOWN: 4, BAD_REQUEST: 5}
EXIT_BROKER = 6   # the broker cannot be reached, or refused the connection
_COLUMNS = ("GATEWAY", "LINK", "STATUS", "LAST SEEN", "NODE", "TARGET", "ENGINE", "FRAMES", "DROPPED")
_NONE = "-"


class FleetError(KorvaError):
    """A fleet command that failed; `exit_status` says how."""

    def __init__(self, exit_status, text):
        super().__init__(text)
        self.exit_status = exit_status


class LinkState:
    """What the retained topics say of every link: {(gateway, link): {"status",
    "info", "stats"}}, the payloads read as they come."""

    def __init__(self):
        self.links = {}

    def take(self, topic, payload):
        """Take in one message of a state topic; others are ignored."""
        try:
            gateway, link, levels = split(topic)
        except BadTopic:
            return
        if len(levels) != 1 or levels[0] not in STATE:
            return
        entry = self.links.setdefault((gateway, link), {})
        if levels[0] == "status":
            entry["status"] = payload.decode(errors="replace")
        else:
            entry[levels[0]] = _object(payload)

    def rows(self):
        """One dict per link, by gateway and link name: its status, last
        seen (seconds since the epoch, or None), node id, target, engine
        version, frames numbered and dropped, and the whole `stats`."""
        return [_row(gateway, link, entry) for (gateway, link), entry in sorted(self.links.items())]


def _object(payload):
    try:
        document = json.loads(payload)
    except ValueError:
        return {}
    return document if isinstance(document, dict) else {}


def _row(gateway, link, entry):
    info, stats = entry.get("info", {}), entry.get("stats", {})
    counters = stats.get("gateway", {}) if isinstance(stats.get("gateway"), dict) else {}
    return {"gateway": gateway, "link": link, "status": entry.get("status"), "last_seen": stats.get("ts"),
            "node_id": info.get("node_id"), "target": info.get("target"),
            "engine_version": info.get("engine_version"), "frames": counters.get("frames"),
            "dropped": counters.get("dropped"), "stats": stats}


def list_json(rows):
    """The rows as one JSON array."""
    return json.dumps(rows)


def list_table(rows, now):
    """The rows as a text table, last seen as an age at `now` (seconds
    since the epoch)."""
    cells = [_COLUMNS] + [(row["gateway"], row["link"], _text(row["status"]), _age(row["last_seen"], now),
                           _text(row["node_id"]), _text(row["target"]), _text(row["engine_version"]),
                           _text(row["frames"]), _text(row["dropped"])) for row in rows]
    widths = [max(len(line[column]) for line in cells) for column in range(len(_COLUMNS))]
    return "\n".join("  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip() for line in cells)


def _text(value):
    return _NONE if value is None else str(value)


def _age(then, now):
    if not isinstance(then, (int, float)):
        return _NONE
    seconds = max(0, int(now - then))
    for unit, size, up_to in (("s", 1, 120), ("m", 60, 7200), ("h", 3600, 172800)):
        if seconds < up_to:
            return "%d%s ago" % (seconds // size, unit)
    return "%dd ago" % (seconds // 86400)


class Gap(typing.NamedTuple):
    """Frames of a link that never came: `seq` first to last."""

    gateway: str
    link: str
    first: int
    last: int


class SeqGaps:
    """The next `seq` expected of every link. A `seq` lower than expected
    is a frame published again after a reconnection, or a gateway that
    started again from 0: counting goes on from it, so neither is a gap."""

    def __init__(self):
        self._expected = {}

    def see(self, gateway, link, seq):
        """The Gap before frame `seq` of a link, or None."""
        expected = self._expected.get((gateway, link))
        self._expected[(gateway, link)] = seq + 1
        if expected is None or seq <= expected:
            return None
        return Gap(gateway, link, expected, seq - 1)


def _utc(ts):
    return datetime.datetime.fromtimestamp(ts, datetime.timezone.utc).strftime("%H:%M:%S.%f")


def frame_line(gateway, link, document, as_json):
    """A frame message's line: the time of its first byte (UTC), its link,
    `seq` and the frame as `korva monitor` shows it; or its JSON object
    with `gateway` and `link`. BadPayload for a payload that is no frame."""
    if as_json:
        return json.dumps({"gateway": gateway, "link": link, **document})
    decoded = read_frame(document)
    try:
        return "%s  %s/%s  seq %s  %s" % (_utc(document["ts"]), gateway, link, document["seq"],
                                          monitor.frame_text(decoded))
    except (KeyError, TypeError, ValueError, OverflowError, OSError):
        raise BadPayload("a frame without its ts and seq: %s" % json.dumps(document)[:200]) from None


def gap_line(gap, as_json):
    """A Gap's line."""
    count = gap.last - gap.first + 1
    if as_json:
        return json.dumps({"gateway": gap.gateway, "link": gap.link, "gap": {"first": gap.first, "last": gap.last,
                                                                               "frames": count}})
    return "gap  %s/%s  seq %d to %d missing (%d frame%s)" % (gap.gateway, gap.link, gap.first, gap.last, count,
                                                              "" if count == 1 else "s")


class Answer(typing.NamedTuple):
    """What a command prints and returns: its exit status, a line for
    stdout (None: none) and one for stderr (None: none)."""

    exit_status: int
    out: typing.Optional[str]
    err: typing.Optional[str]


def answer_lines(where, asks, status, payload, as_json):
    """The Answer of the gateway's answer to a command sent to `where`
    (GATEWAY/LINK), a request if `asks`: its `korva-status` (None: none)
    and payload."""
    document = _object(payload)
    out = json.dumps({"status": status, "reply": document}) if as_json else None
    if status == OK:
        if not as_json:
            out = monitor.frame_text(read_frame(document)) if asks else OK
        return Answer(0, out, None)
    if status in EXIT_STATUSES:
        return Answer(EXIT_STATUSES[status], out, "%s: %s: %s" % (where, status, document.get("error", _NONE)))
    return Answer(EXIT_ERROR, out, "%s: an answer without a known korva-status (%r): %s"
                  % (where, status, payload[:200].decode(errors="replace")))


def no_answer(where, timeout):
    """The Answer when none came in `timeout` seconds."""
    return Answer(EXIT_STATUSES[TIMEOUT], None, "%s: timeout: no answer within %g s (is the gateway there, and "
                                                "does the broker let you send to it?)" % (where, timeout))
