"""Transports, wire helpers and bounded waits for the KorvaPy tests."""

import os
import time

import KorvaPy
from korva import frame
from korva.messages import Message


def wait_until(condition, timeout=5.0, idle=lambda: time.sleep(0.02)):
    """Whether `condition()` came true within `timeout` seconds; `idle()`
    runs between looks (a node's poll, for a node nobody else polls)."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        idle()
    return True


class Heard:
    """An on_message callback that keeps every message, as a korva.Message."""

    def __init__(self):
        self.messages = []

    def __call__(self, message_type, status, header):
        self.messages.append(Message.from_header(message_type, status, header))


def frame_bytes(text):
    """Turn 'FB 02 E3' into [0xFB, 0x02, 0xE3]."""
    return [int(part, 16) for part in text.split()]


def damaged(raw):
    """A frame's bytes with its checksum broken."""
    raw = bytearray(raw)
    raw[-3] ^= 0x01
    return bytes(raw)


class RecordingNode(KorvaPy.KORVA_PUBLIC):
    """A node whose link is a byte list: writes are recorded (and handed
    to a peer when one is joined), reads drain `inbox`."""

    def __init__(self, node_id, write_status=KorvaPy.KORVA_STATUS_SUCCESS):
        super().__init__(node_id)
        self.write_status = write_status
        self.writes = []
        self.inbox = []
        self.read_sizes = []
        self.received = []
        self.peer = None

    def __write__(self, buffer, length):
        self.writes.append((buffer, length))
        if self.peer is not None:
            self.peer.inbox.extend(buffer)
        return self.write_status

    def __read__(self, length):
        self.read_sizes.append(length)
        pair = KorvaPy.Korva_Pair()
        pair.vec = self.inbox[:length]
        del self.inbox[:length]
        pair.status = KorvaPy.KORVA_STATUS_SUCCESS
        return pair

    def __available__(self):
        return len(self.inbox)

    def __rx_callback__(self, message_type, status, header):
        self.received.append((message_type, status, header))

    def written(self):
        """All bytes written so far, as one list."""
        return [byte for buffer, _ in self.writes for byte in buffer]


def join(a, b):
    """Loop two nodes back to back."""
    a.peer = b
    b.peer = a


class PtyPair:
    """Both ends of a pseudo-terminal, closed on exit."""

    def __enter__(self):
        self.main, self.other = os.openpty()
        return self

    def __exit__(self, *exc_info):
        for fd in (self.main, self.other):
            try:
                os.close(fd)
            except OSError:
                pass


def read_exactly(fd, count, timeout=2.0):
    """Up to `count` bytes from a non-blocking or blocking descriptor, as a list."""
    os.set_blocking(fd, False)
    data = b""
    deadline = time.monotonic() + timeout
    while len(data) < count and time.monotonic() < deadline:
        try:
            data += os.read(fd, count - len(data))
        except BlockingIOError:
            time.sleep(0.01)
    return list(data)


def split_frames(wire):
    """Cut a byte stream into frames by their length bytes: (frames, stray
    bytes), each frame a korva.frame.Frame."""
    frames, stray, at = [], 0, 0
    while at < len(wire):
        if wire[at] != frame.START or at + 1 >= len(wire):
            stray += 1
            at += 1
            continue
        length = wire[at + 1] + frame.OVERHEAD
        frames.append(frame.decode(wire[at:at + length]))
        at += length
    return frames, stray
