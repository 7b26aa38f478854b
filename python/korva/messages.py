"""Messages as values, and the mailbox that hands each arriving message to
the caller waiting for it.

Frames carry no sequence number: a reply is known only by its sender and
message id. A reply that arrives after its request gave up waiting is
therefore taken for the reply to the next request to the same node with the
same id, if one is waiting by then. Applications that retry or time out
often can put a sequence number of their own in the body.
"""

import collections
import concurrent.futures
import threading
import time
import typing

import KorvaPy

from . import frame

__all__ = ["INBOX_SIZE", "Message", "Mailbox", "reply_to", "selected"]

INBOX_SIZE = 1024
_POLL_SLICE = 0.05  # seconds a waiting caller polls before looking again
_SUCCESS = KorvaPy.KORVA_STATUS_SUCCESS


class Message(typing.NamedTuple):
    """One received message: ids, its type (0 write, 1 request, 2 response,
    3 indicate), its body as bytes and the engine's status for it
    (KORVA_STATUS_SUCCESS, or KORVA_STATUS_CRC_ERROR for a damaged frame)."""

    transmitter_id: int
    receiver_id: int
    message_type: int
    message_id: int
    data: bytes
    status: object

    @property
    def ok(self):
        """True when the frame arrived intact."""
        return self.status == _SUCCESS

    def as_frame(self):
        """The message as a decoded `korva.frame.Frame`."""
        return frame.Frame(self.transmitter_id, self.receiver_id, self.message_type, self.message_id, self.data,
                           "ok" if self.ok else "crc_error")

    @classmethod
    def from_header(cls, message_type, status, header):
        """The message the engine delivered to a receive callback."""
        return cls(header.transmitter_id, header.receiver_id, int(message_type), header.message_id,
                   bytes(header.data), status)

    def __str__(self):
        return "%d -> %d %s id %d, %d bytes%s%s" % (
            self.transmitter_id, self.receiver_id, frame.TYPE_NAMES[self.message_type], self.message_id,
            len(self.data), ": " + self.data.hex(" ") if self.data else "", "" if self.ok else " (damaged)")


def reply_to(receiver_id, message_id):
    """Whether a message is the intact reply to a request sent to
    `receiver_id` (any node answers a request sent to the public id)."""
    def matches(message):
        return (message.ok and message.message_type == frame.RESPONSE and message.message_id == message_id
                and (receiver_id == frame.PUBLIC_ID or message.transmitter_id == receiver_id))
    return matches


def selected(transmitter_id=None, message_id=None, message_type=None):
    """Whether a message has the given sender, id and type (None: any)."""
    wanted_type = None if message_type is None else int(message_type)

    def matches(message):
        return ((transmitter_id is None or message.transmitter_id == transmitter_id)
                and (message_id is None or message.message_id == message_id)
                and (wanted_type is None or message.message_type == wanted_type))
    return matches


class Mailbox:
    """Arriving messages go to the oldest waiter they match; the others are
    the node's to pass on (to its callback, or to the inbox that `receive`
    reads first). A waiter is a `concurrent.futures.Future`, so threads wait
    on it directly and an event loop awaits it through
    `asyncio.wrap_future`. Thread-safe."""

    def __init__(self):
        self._lock = threading.Lock()
        self._waiters = []
        self._inbox = collections.deque(maxlen=INBOX_SIZE)
        self.unmatched_responses = 0
        self.inbox_dropped = 0
        self.on_kept = None  # called after a message is kept, for waiters on an event loop

    def claim(self, message):
        """Hand `message` to a waiter; False if none wants it."""
        with self._lock:
            for waiter in self._waiters:
                if not waiter.done() and waiter.matches(message):
                    waiter.set_result(message)
                    return True
            self.count_if_response(message.message_type)
            return False

    @property
    def waiting(self):
        """Whether some caller waits for a message."""
        return bool(self._waiters)

    def count_if_response(self, message_type):
        """Count a message nobody claimed, if it is a response."""
        if message_type == frame.RESPONSE:
            self.unmatched_responses += 1

    def keep(self, message):
        """Keep an unclaimed message for a later `receive`; the oldest goes
        when the inbox is full."""
        with self._lock:
            if len(self._inbox) == self._inbox.maxlen:
                self.inbox_dropped += 1
            self._inbox.append(message)
        if self.on_kept is not None:
            self.on_kept()

    def take_kept(self, matches):
        """The oldest kept message that `matches`, removed; None if none."""
        with self._lock:
            return self._take_kept(matches)

    def _take_kept(self, matches):
        for message in self._inbox:
            if matches(message):
                self._inbox.remove(message)
                return message
        return None

    def waiter(self, matches, kept=False):
        """A future for the next message that `matches`, or with `kept` for
        the oldest kept one that does if there is one; pass it to `forget`
        when done with it. Registering and looking at the kept messages are
        one step, so a message arriving meanwhile is neither missed nor
        handed out twice."""
        waiter = concurrent.futures.Future()
        waiter.matches = matches
        with self._lock:
            message = self._take_kept(matches) if kept else None
            if message is not None:
                waiter.set_result(message)
            self._waiters.append(waiter)
        return waiter

    def forget(self, waiter):
        """Stop handing messages to `waiter`."""
        with self._lock:
            self._waiters.remove(waiter)

    def fail(self, error):
        """End every wait with `error`: the line under the node failed."""
        with self._lock:
            for waiter in self._waiters:
                if not waiter.done():
                    waiter.set_exception(error)

    @staticmethod
    def wait(waiter, timeout, poll=None):
        """The message `waiter` was handed, or None after `timeout` seconds.

        Without a poll thread the caller brings messages in itself: `poll`
        is called with the time left, in short slices so that a message
        another thread delivered ends the wait early."""
        if poll is None:
            try:
                return waiter.result(timeout=timeout)
            except concurrent.futures.TimeoutError:
                return None
        deadline = time.monotonic() + timeout
        while not waiter.done():
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            poll(min(left, _POLL_SLICE))
        return waiter.result()
