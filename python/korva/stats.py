"""What a node's link has seen: one record whose fields are the native
link's counters, named where they are counted."""

import dataclasses

import _korva_link

__all__ = ["LinkStats"]

_DELIVERED = ("KORVA_SUCCESS", "KORVA_CRC_ERROR")


class _Text:
    """The record's reading aids."""

    __slots__ = ()

    @property
    def delivered(self):
        """Frames handed to the application, by status text."""
        return {name: count for name, count in self.results.items() if name in _DELIVERED}

    def __str__(self):
        delivered = self.delivered
        return ("delivered %d intact and %d damaged frames; discarded %d bytes while hunting; %d resyncs, "
                "%d frames cut short, %d write timeouts, %d answers held, %d unmatched responses; "
                "%d drops, %d reconnects"
                % (delivered.get("KORVA_SUCCESS", 0), delivered.get("KORVA_CRC_ERROR", 0), self.bytes_hunted,
                   self.resyncs, self.cut_short, self.write_timeouts, self.answers_held, self.unmatched_responses,
                   self.drops, self.reconnects))


LinkStats = dataclasses.make_dataclass(
    "LinkStats", list(_korva_link.STATS_FIELDS) + [("unmatched_responses", int, 0)], bases=(_Text,), frozen=True)
LinkStats.__module__ = __name__
LinkStats.__doc__ = """What a node's link has seen since the node was made.

`results` counts listener calls by status text: KORVA_SUCCESS and
KORVA_CRC_ERROR are frames delivered to the application, KORVA_PORT_BUSY
frames for other nodes, the other errors rejected bytes. `bytes_hunted` is
noise; `resyncs` damaged candidates scanned again; `cut_short` fragments the
line went quiet in; `backlog` bytes still waiting for the line;
`unmatched_responses` responses nobody waited for."""
