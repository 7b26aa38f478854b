"""Nodes on the native link core.

A `LinkNode` is a `KorvaPy.KORVA_PUBLIC` whose port hooks are native: bytes
from the line wait in a receive buffer until a whole frame is there, and
every piece the engine writes goes whole into a transmit backlog. Every
frame a node sends, of any type, goes through its engine. The link
guarantees:

- a frame is never half sent: a send either queues its whole piece or
  reports KORVA_STATUS_TIMEOUT having queued nothing of it;
- a frame reported as sent reaches the line by itself, as fast as the line
  takes it, with no later call on the node: a drain thread of the link's own
  writes the backlog out; only a line failure stops it;
- a line that failed takes nothing more: every send raises the OSError the
  failure raised (naming the line) and queues nothing, or, on a node that
  reconnects, reports KORVA_STATUS_TIMEOUT until the line is back;
- a false start never costs the good frames behind it: the bytes of a
  damaged frame are scanned again;
- a fragment the line went quiet in is dropped after `inter_byte_gap`, so it
  cannot swallow the next frame;
- a node may be shared between threads: each call is exclusive, a streamed
  frame holds the node from start to end, and waits let other threads in.

A received message first goes to a caller waiting for it (`request`,
`receive`); the others go to `on_message(message_type, status, header)`,
or, without one, to an inbox that `receive` reads. Every frame on the line,
for any node and damaged ones too, is shown to `on_frame` first: each poll
hands everything it cut to Python at once, frames before messages. Every
frame `send` sends is shown to `on_sent`. Messages
come in while some thread polls: the caller of `request` or `receive` polls
by itself, or `start_polling` runs a thread that does. A subclass
overriding `__rx_callback__` must call this class's to keep replies coming.
Subclasses must not define `__read__`, `__write__` or `__available__`.
"""

import atexit
import contextlib
import threading
import time
import weakref

import KorvaPy
import _korva_link

from . import frame, requests, wire
from .errors import SendRefused
from .messages import Mailbox, Message, selected
from .reconnect import Reconnector
from .schema.codec import frame_of, reply_decoder
from .stats import LinkStats

__all__ = ["DEFAULT_ATTEMPTS", "LinkNode"]

DEFAULT_ATTEMPTS = _korva_link.DEFAULT_ATTEMPTS  # tries per frame, where a send names none
_SUCCESS = KorvaPy.KORVA_STATUS_SUCCESS
_RESPONSE = KorvaPy.KV_RESPONSE_EVENT  # the link hands over this very member, so `is` finds it
# Nodes whose poll thread runs. Their threads are stopped before the
# interpreter shuts down: a daemon thread that wakes in native code during
# the shutdown would be torn down there, which aborts the process.
_POLLING = weakref.WeakSet()


@atexit.register
def _stop_all_polling():
    for node in list(_POLLING):
        node.stop_polling()


class _Stream:
    """The open streamed frame of a `LinkNode.streamed` block."""

    def __init__(self, node, attempts):
        self._node = node
        self._attempts = attempts

    def push(self, data):
        """Send the next piece of the body; SendRefused if it did not go out."""
        data = bytes(data)
        for start in range(0, len(data), frame.MAX_PAYLOAD):
            piece = list(data[start:start + frame.MAX_PAYLOAD])
            status = self._node.push_to_queue(piece, len(piece))
            if status != _SUCCESS:
                raise SendRefused(status, "push_to_queue")


class LinkNode(_korva_link.Node):
    """A KorvaPy node on the native link core (see the module's text).

    `write_timeout` bounds how long a send waits for room in the transmit
    backlog. `on_sent`, None or a callable, is shown every frame that `send`
    (and what builds on it: request, respond, the typed sends) put on its way
    to the line, as a `korva.wire.Event` stamped with the time it was sent;
    it runs on the sending thread with the node held and must not block.
    Without a line (`feed` brings the bytes) it is a node for tests and
    tools; `korva.serial.SerialNode` and `PipeNode` give it one."""

    on_message = None
    on_sent = None

    def __init__(self, node_id, on_message=None, write_timeout=1.0, on_line_change=None, on_frame=None):
        super().__init__(node_id)
        self.on_message = on_message
        self.on_line_change = on_line_change
        self.on_frame = on_frame
        self.write_timeout = write_timeout
        self.drop_reason = None
        self._reconnector = None
        self._mailbox = Mailbox()
        self._poller = None
        self._stop_polling = threading.Event()
        self._poll_error = None

    @property
    def stats(self):
        """The link's counters, a `korva.stats.LinkStats`."""
        return LinkStats(**self.link_stats(), unmatched_responses=self._mailbox.unmatched_responses)

    @property
    def on_frame(self):
        """None, or a callable that is shown every frame the link cuts from
        the line, for any node, intact or damaged, as a `korva.wire.Event`
        whose status is the cutter's verdict, before any message of the same
        poll is delivered. It runs on the thread that polls and must not
        block; noise is only counted (`stats.bytes_hunted`)."""
        return self._on_frame

    @on_frame.setter
    def on_frame(self, callback):
        self._on_frame = callback
        self._frame_observer = None if callback is None else wire.frame_shower(callback)

    def send(self, message_type, receiver_id, message_id, data=b"", attempts=DEFAULT_ATTEMPTS):
        """Send one frame of any type (0 write, 1 request, 2 response, 3
        indicate; message ids 0 to 63) through the engine, so that the fixed
        packet size, the busy check and held answers apply to it as to
        `write`. Returns the engine's Korva_Status_t; never raises for a
        refused send; arguments out of range are a ValueError."""
        message_type = int(message_type)
        data = frame.checked_body(message_type, receiver_id, message_id, data)
        if self.on_sent is None:
            return super().send(message_type, receiver_id, message_id, list(data), len(data), attempts)
        # Held until the frame has been shown, so that no frame the line
        # brings after it (its reply) reaches on_frame first.
        self._acquire()
        try:
            status = super().send(message_type, receiver_id, message_id, list(data), len(data), attempts)
            if status == _SUCCESS:
                raw = frame.encode(self.own_id, receiver_id, message_type, message_id, data)
                self.on_sent(wire.Event(time.time(), raw, frame.decode(raw)))
        finally:
            self._release()
        return status

    def _deliver(self, batch):
        """Hand the messages the link delivered in one service, (message_type,
        status, header) tuples in the order they came, to `__rx_callback__`.
        Should a callback raise, the batch keeps only the messages it did not
        reach, which the link hands over again first."""
        rx_callback = self.__rx_callback__
        index = -1
        try:
            for index, (message_type, status, header) in enumerate(batch):
                rx_callback(message_type, status, header)
        except BaseException:
            del batch[:index + 1]
            raise

    def __rx_callback__(self, message_type, status, header):
        mailbox = self._mailbox
        if mailbox.waiting or self.on_message is None:
            message = Message.from_header(message_type, status, header)
            if mailbox.claim(message):
                return
            if self.on_message is None:
                mailbox.keep(message)
                return
        elif message_type is _RESPONSE:  # nobody waits: a response only counts as unclaimed
            mailbox.count_if_response(message_type)
        self.on_message(message_type, status, header)

    def _reconnect_with(self, reopen):
        """Turn reconnection on, for a line that `reopen()` can open again.

        When the line fails (end of stream, reset, I/O error, the device
        gone), the node lets it go with every byte in flight on it, calls
        `on_line_change(False)` and reopens it from a thread, with a delay
        that doubles from 50 ms up to 2 s; then `on_line_change(True)`.
        Meanwhile sends return KORVA_STATUS_TIMEOUT having sent nothing and
        `poll` waits for the line, returning KORVA_STATUS_DEFAULT if it does
        not come back in time. `stats` counts drops and reconnects."""
        def reattach():
            gap = self.inter_byte_gap
            reopen()
            self.inter_byte_gap = gap

        self._reconnector = Reconnector(reattach, lambda: self._line_changed(True))
        self.reconnect = True

    def _line_dropped(self, reason):
        self.drop_reason = reason
        self._reconnector.start()
        self._line_changed(False)

    def _line_changed(self, up):
        if self.on_line_change is not None:
            self.on_line_change(up)

    def request(self, receiver_id, message_id, data=b"", timeout=1.0, retries=0):
        """Send a request and return its reply, a `Message`: the first intact
        response from `receiver_id` (from any node, for the public id 15)
        with the same message id that arrives after the request went out.
        Each of the `1 + retries` attempts waits `timeout` seconds; then
        `KorvaTimeout` is raised. Damaged frames are never taken for a reply.

        Frames carry no sequence number: a late reply to an attempt that gave
        up can be taken for the reply to the next request with the same
        receiver and id."""
        # A refused send is an attempt that got no reply.
        return requests.request(self._mailbox, lambda: self.send(frame.REQUEST, receiver_id, message_id, data),
                                self._wait, receiver_id, message_id, timeout, retries)

    def respond(self, message, data=b""):
        """Answer the request `message` with `data`: a response with the same
        id, to its sender. Returns the send's status."""
        return self.send(frame.RESPONSE, message.transmitter_id, message.message_id, data)

    def send_message(self, receiver_id, message, attempts=DEFAULT_ATTEMPTS):
        """Send `message`, an instance of a `korva.schema` message class, in
        the frame its schema gives it (type, id, encoded body). A value that
        does not fit raises EncodeError and nothing is sent; otherwise the
        engine's status, as `send` returns it."""
        message_type, message_id, body = frame_of(message)
        return self.send(message_type, receiver_id, message_id, body, attempts)

    def request_message(self, receiver_id, message, timeout=1.0, retries=0):
        """Send the typed request `message` and return its reply decoded as
        the schema's response to it; the waiting and the timeout are those
        of `request`, and a reply that does not decode is a DecodeError."""
        decode = reply_decoder(message)
        _, message_id, body = frame_of(message)
        return decode(self.request(receiver_id, message_id, body, timeout, retries).data)

    def receive(self, timeout, transmitter_id=None, message_id=None, message_type=None):
        """The next message (intact or damaged) with the given sender, id and
        type (None: any), as a `Message`; `KorvaTimeout` after `timeout`
        seconds. Messages that arrived while nobody waited count when the
        node has no `on_message`."""
        matches = selected(transmitter_id, message_id, message_type)
        return requests.receive(self._mailbox, self._wait, matches, timeout)

    def peer_version(self, receiver_id, timeout=1.0):
        """The version number the engine of node `receiver_id` reports."""
        reply = self.request(receiver_id, frame.VERSION_REQUEST_ID, timeout=timeout)
        return int.from_bytes(reply.data, "little")

    def start_polling(self, interval=0.05):
        """Poll the line from a background thread, so messages arrive (and
        `on_message` runs) without the application polling. A poll that
        fails with OSError ends the thread; waiting calls raise that error."""
        if self._poller is not None and self._poller.is_alive():
            return
        self._stop_polling.clear()
        self._poll_error = None
        self._poller = threading.Thread(target=self._poll_until_stopped, args=(interval,), daemon=True,
                                        name="korva poll of %s" % (self.line_name or "node %d" % self.own_id))
        self._poller.start()
        _POLLING.add(self)

    def stop_polling(self):
        """Stop the thread `start_polling` started, and wait for it."""
        poller, self._poller = self._poller, None
        _POLLING.discard(self)
        if poller is not None:
            self._stop_polling.set()
            poller.join()

    def _poll_until_stopped(self, interval):
        try:
            while not self._stop_polling.is_set():
                self.poll(interval)
        except OSError as error:
            self._poll_error = error
            self._mailbox.fail(error)

    def _wait(self, waiter, timeout):
        if self._poll_error is not None:
            raise self._poll_error
        polled = self._poller is not None and self._poller.is_alive()
        return self._mailbox.wait(waiter, timeout, poll=None if polled else self.poll)

    @contextlib.contextmanager
    def streamed(self, message_type, receiver_id, message_id, length, attempts=DEFAULT_ATTEMPTS):
        """Send one frame of `length` body bytes in pieces, trying each step
        up to `attempts` times:

            with node.streamed(KorvaPy.KV_INDICATE_EVENT, 14, 6, 3) as stream:
                stream.push(b"\\x01\\x02")
                stream.push(b"\\x03")

        The node is held for the whole frame, so other threads' sends wait.
        The frame is finalized on exit; on an exception it is abandoned: the
        line stays quiet for one inter-byte gap so the receivers drop the
        fragment, then the engine forgets it and sends the answers it held. A
        refused step raises SendRefused."""
        self._acquire()
        try:
            status = self.start_write_queue(KorvaPy.Korva_event_types(int(message_type)), receiver_id, message_id,
                                            length, attempts)
            if status != _SUCCESS:
                self.abandon_stream()
                raise SendRefused(status, "start_write_queue")
            try:
                yield _Stream(self, attempts)
            except BaseException:
                self.abandon_stream()
                raise
            status = self.finalize_queue(attempts)
            if status != _SUCCESS:
                self.abandon_stream()
                raise SendRefused(status, "finalize_queue")
        finally:
            self._release()

    def request_reserved(self, receiver_id, message_id):
        """Send a request with reserved message id 60 to 63 to `receiver_id`
        (0 to 15); the peer's engine answers it by itself, and the answer
        arrives through the listener (for id 63: the peer's version number,
        four bytes, least significant first). Returns the send's status."""
        if message_id not in range(frame.FIRST_RESERVED_ID, frame.LAST_MESSAGE_ID + 1):
            raise ValueError("reserved message ids are %d to %d, not %r"
                             % (frame.FIRST_RESERVED_ID, frame.LAST_MESSAGE_ID, message_id))
        return self.send(frame.REQUEST, receiver_id, message_id)

    def close(self):
        """Send what is still queued (waiting up to `write_timeout`), restore
        a tty's settings and close the line; sends after it raise ValueError.
        Safe to call more than once; a node dropped without it closes its
        line all the same."""
        self.stop_polling()
        if self._reconnector is not None:
            self._reconnector.stop()
        try:
            if not self.closed:
                self.flush(self.write_timeout)
        except OSError:
            pass  # the line is gone; what it could not take is lost either way
        finally:
            self._close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
