"""The CPU time and wake-ups of running processes, from /proc: user and
system time of all their threads, and their threads' context switches (a
thread that waits and is woken switches once; one that runs out its time
slice, once too)."""

import glob
import os
import typing

__all__ = ["Usage", "sample"]

_TICKS = os.sysconf("SC_CLK_TCK")
_UTIME, _STIME = 11, 12  # in /proc/PID/stat, counted from the field after the command's name
_SWITCHES = ("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")


class Usage(typing.NamedTuple):
    """CPU seconds and context switches, of a process so far or over a while."""

    cpu: float
    switches: int

    def __sub__(self, earlier):
        return Usage(self.cpu - earlier.cpu, self.switches - earlier.switches)

    def __add__(self, other):
        return Usage(self.cpu + other.cpu, self.switches + other.switches)


def sample(pid):
    """The Usage of process `pid` so far. Switches are those of its threads
    alive now: a thread that ended took its count with it."""
    with open("/proc/%d/stat" % pid) as file:
        fields = file.read().rsplit(")", 1)[1].split()
    switches = 0
    for status in glob.glob("/proc/%d/task/*/status" % pid):
        try:
            with open(status) as file:
                switches += sum(int(line.split()[1]) for line in file if line.startswith(_SWITCHES))
        except FileNotFoundError:
            pass  # the thread ended meanwhile
    return Usage((int(fields[_UTIME]) + int(fields[_STIME])) / _TICKS, switches)
