"""The scripted devices of a fleet: one process holding many pseudo-terminal
pairs, a gateway on the far end of each, and writing frames into every one at
a steady rate. Each frame's body is the time it was written (nanoseconds
since the epoch) and its number on its line, so that a subscriber anywhere
measures the latency from the line and tells which frames it never saw.

It runs on commands from stdin: it prints the paths of its lines as one JSON
list, starts sending on `go` and stops on `stop` (or end of input); then it
prints {"sent": [frames written whole, per line]}, and keeps its lines open
until the end of its input: closing a pseudo-terminal's far end throws away
what its reader has not read yet.

Usage: peer.py LINES RATE   (with korva on PYTHONPATH)"""

import collections
import json
import os
import select
import struct
import sys
import time
import tty

from korva import frame

SENDER, RECEIVER, MESSAGE_ID = 3, 1, 5  # a device reporting to the gateway's node
BODY = struct.Struct("<QI")  # time written (ns since the epoch), the frame's number on its line
MIN_WAIT = 0.002  # seconds: frames due meanwhile go out together, each stamped as it is written


class Line:
    """One pseudo-terminal pair: the gateway opens `path`; frames go into
    the other end without ever blocking the others' lines."""

    def __init__(self):
        self._master, self._slave = os.openpty()
        tty.setraw(self._slave)  # no echo, no line editing even before the gateway opens it
        os.set_blocking(self._master, False)
        self.path = os.ttyname(self._slave)
        self.sent = 0  # frames written whole
        self._made = 0
        self._pending = collections.deque()  # frames the line had no room for yet, oldest first

    def send(self):
        """Write the next frame, behind any the line has not taken yet."""
        body = BODY.pack(time.time_ns(), self._made)
        self._made += 1
        self._pending.append(frame.encode(SENDER, RECEIVER, frame.INDICATE, MESSAGE_ID, body))
        self.flush()

    def flush(self):
        """Write what the line has room for."""
        while self._pending:
            head = self._pending[0]
            try:
                written = os.write(self._master, head)
            except BlockingIOError:
                return
            if written < len(head):
                self._pending[0] = head[written:]
                return
            self._pending.popleft()
            self.sent += 1


def run(lines, rate, control):
    """Send `rate` frames a second on each line, spread evenly, until
    `control` (a file) has something to read."""
    period = 1.0 / (rate * len(lines))
    start = time.monotonic()
    due = 0  # frames due so far, over all lines
    while True:
        now = time.monotonic()
        while start + due * period <= now:
            lines[due % len(lines)].send()
            due += 1
        for line in lines:
            line.flush()
        wait = max(start + due * period - time.monotonic(), MIN_WAIT)
        if select.select([control], [], [], wait)[0]:
            return


def main():
    count, rate = int(sys.argv[1]), float(sys.argv[2])
    lines = [Line() for _ in range(count)]
    print(json.dumps([line.path for line in lines]), flush=True)
    if sys.stdin.readline().strip() == "go":
        run(lines, rate, sys.stdin)
    print(json.dumps({"sent": [line.sent for line in lines]}), flush=True)
    sys.stdin.read()


if __name__ == "__main__":
    main()
