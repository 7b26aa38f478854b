"""Nodes for asyncio.

    node = await korva.aio.open_node("tcp://gateway:4000", 3)
    async with node:
        await node.write(14, 5, b"\\x01\\x02")
        reply = await node.request(14, 6, timeout=0.5)
        async for message in node:
            print(message)

Nothing here blocks the event loop. The node is the same `LinkNode` that
threads use, with its line driven by the loop instead of a drain thread:
the loop's reader callback makes one native call that reads, cuts and runs
the listener on every whole frame; bytes the line cannot take yet go out
from the loop's writer callback; a fragment the line goes quiet in is
dropped by a timer. A send waits (on the loop, up to `write_timeout`) for
room in the link's backlog, then queues its whole frame through the engine.

A message goes to the `request` or `receive` waiting for it (the node's
mailbox, shared with threaded nodes); the others are yielded by
`async for`. A failed line ends the node: sends, waiting calls and the
iteration raise the OSError. These nodes do not reconnect by themselves.
"""

import asyncio
import socket

import _korva_link

from . import frame, requests
from .addresses import url
from .connect import CONNECT_TIMEOUT, line_gap
from .link import DEFAULT_ATTEMPTS, LinkNode
from .messages import selected
from .schema.codec import frame_of, reply_decoder
from .tcp import parse_target

__all__ = ["Node", "open_node"]

_ROOM_LEFT = _korva_link.BACKLOG_CAPACITY - _korva_link.SEND_ROOM  # backlog above which a send waits


async def open_node(target, node_id, baud=115200, connect_timeout=CONNECT_TIMEOUT, inter_byte_gap=None):
    """A `Node` with id `node_id` on a tty path or a "tcp://host:port"
    target (see `korva.tcp`), on the running loop."""
    address = parse_target(target)
    if address is None:
        line = _korva_link.Line.open_tty(target, baud)
    else:
        sock = await _connect(*address, connect_timeout)
        line = _korva_link.Line.adopt(sock.detach(), target)
    return Node(line, node_id, line_gap(target, baud) if inter_byte_gap is None else inter_byte_gap)


async def _connect(host, port, timeout):
    loop = asyncio.get_running_loop()
    name = url("tcp", host, port)
    error = None
    try:
        addresses = await loop.getaddrinfo(host, port, type=socket.SOCK_STREAM)
    except OSError as failure:
        addresses, error = [], failure
    for family, kind, protocol, _, address in addresses:
        sock = socket.socket(family, kind, protocol)
        sock.setblocking(False)
        try:
            await asyncio.wait_for(loop.sock_connect(sock, address), timeout)
        except (OSError, asyncio.TimeoutError) as failure:
            sock.close()
            error = failure
            continue
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return sock
    reason = "timed out" if isinstance(error, asyncio.TimeoutError) else getattr(error, "strerror", None) or error
    raise OSError(getattr(error, "errno", None), "cannot connect to %s: %s" % (name, reason))


class Node:
    """A KorvaPy node on a line, driven by the running event loop."""

    def __init__(self, line, node_id, inter_byte_gap, write_timeout=1.0):
        self._loop = asyncio.get_running_loop()
        self._node = LinkNode(node_id, write_timeout=0.0)  # never blocks: the loop waits for room instead
        self._node._attach(line, inter_byte_gap, False)
        self._fd = self._node.fileno()
        self._mailbox = self._node._mailbox
        self._mailbox.on_kept = self._kept
        self.write_timeout = write_timeout
        self._writable = asyncio.Event()
        self._arrival = asyncio.Event()
        self._writer_on = False
        self._stale_timer = None
        self._error = None
        self._loop.add_reader(self._fd, self._readable)

    @property
    def own_id(self):
        """This node's id."""
        return self._node.own_id

    @property
    def stats(self):
        """The link's counters, a `korva.stats.LinkStats`."""
        return self._node.stats

    async def send(self, message_type, receiver_id, message_id, data=b"", attempts=DEFAULT_ATTEMPTS):
        """Send one frame of any type through the engine, as
        `korva.link.LinkNode.send`; returns the engine's status
        (KORVA_STATUS_TIMEOUT when the backlog had no room in time)."""
        return await self._sent(lambda: self._node.send(message_type, receiver_id, message_id, data, attempts))

    async def write(self, receiver_id, message_id, data=b""):
        """Send a write frame with body `data`; returns the engine's status."""
        body = list(bytes(data))
        return await self._sent(lambda: self._node.write(receiver_id, message_id, body, len(body)))

    async def write_public(self, message_id, data=b""):
        """Send a write frame to every node (id 15); returns the status."""
        body = list(bytes(data))
        return await self._sent(lambda: self._node.write_public(message_id, body, len(body)))

    async def request(self, receiver_id, message_id, data=b"", timeout=1.0, retries=0):
        """Send a request and return its reply, as `korva.link.LinkNode.request`
        does (same matching, same caveat: frames carry no sequence number)."""
        return await requests.request_async(
            self._mailbox, lambda: self.send(frame.REQUEST, receiver_id, message_id, data), self._wait,
            receiver_id, message_id, timeout, retries)

    async def respond(self, message, data=b""):
        """Answer the request `message`: a response with its id, to its sender."""
        return await self.send(frame.RESPONSE, message.transmitter_id, message.message_id, data)

    async def send_message(self, receiver_id, message, attempts=DEFAULT_ATTEMPTS):
        """Send a typed message, as `korva.link.LinkNode.send_message`."""
        message_type, message_id, body = frame_of(message)
        return await self.send(message_type, receiver_id, message_id, body, attempts)

    async def request_message(self, receiver_id, message, timeout=1.0, retries=0):
        """The decoded reply to a typed request, as
        `korva.link.LinkNode.request_message`."""
        decode = reply_decoder(message)
        _, message_id, body = frame_of(message)
        return decode((await self.request(receiver_id, message_id, body, timeout, retries)).data)

    async def receive(self, timeout, transmitter_id=None, message_id=None, message_type=None):
        """The next matching message, as `korva.link.LinkNode.receive`."""
        matches = selected(transmitter_id, message_id, message_type)
        return await requests.receive_async(self._mailbox, self._wait, matches, timeout)

    def __aiter__(self):
        return self

    async def __anext__(self):
        while True:
            message = self._mailbox.take_kept(lambda message: True)
            if message is not None:
                return message
            if self._error is not None:
                raise self._error
            if self._node.closed:
                raise StopAsyncIteration
            self._arrival.clear()
            await self._arrival.wait()

    async def close(self):
        """Send what is queued (waiting up to `write_timeout`), then close the line."""
        if self._node.closed:
            return
        self._stop()
        if self._error is None:
            self._node.write_timeout = self.write_timeout
            await self._loop.run_in_executor(None, self._node.close)
        self._arrival.set()

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        await self.close()

    # --- the loop's side ---------------------------------------------------

    async def _sent(self, operation):
        """Run one send once the backlog has room, then let the writer take it.
        A line found gone by the send ends the node, as one the loop found."""
        await self._room()
        try:
            status = operation()
        except OSError as error:
            self._fail(error)
            raise
        self._output_waits(self._node.backlog != 0)
        return status

    async def _room(self):
        """Wait until the backlog has room for a send and the answers it may
        release, up to `write_timeout`; the send then finds none and
        reports KORVA_STATUS_TIMEOUT."""
        deadline = self._loop.time() + self.write_timeout
        while self._node.backlog > _ROOM_LEFT and self._error is None:
            left = deadline - self._loop.time()
            if left <= 0:
                break
            self._writable.clear()
            try:
                await asyncio.wait_for(self._writable.wait(), left)
            except asyncio.TimeoutError:
                break
        if self._error is not None:
            raise self._error

    async def _wait(self, waiter, timeout):
        if self._error is not None:
            raise self._error
        try:
            return await asyncio.wait_for(asyncio.shield(asyncio.wrap_future(waiter)), timeout)
        except asyncio.TimeoutError:
            return None

    def _readable(self):
        try:
            output_waits, stale_in = self._node._loop_read()
        except OSError as error:
            self._fail(error)
            return
        self._output_waits(output_waits)  # answers the engine gave
        self._watch_fragment(stale_in)

    def _writable_now(self):
        try:
            output_waits = self._node._loop_write()
        except OSError as error:
            self._fail(error)
            return
        self._writable.set()
        self._output_waits(output_waits)

    def _output_waits(self, waiting):
        if waiting != self._writer_on and self._error is None:
            self._writer_on = waiting
            if waiting:
                self._loop.add_writer(self._fd, self._writable_now)
            else:
                self._loop.remove_writer(self._fd)

    def _watch_fragment(self, stale_in):
        if self._stale_timer is not None:
            self._stale_timer.cancel()
            self._stale_timer = None
        if stale_in is not None:
            self._stale_timer = self._loop.call_later(stale_in + 0.001, self._readable)

    def _kept(self):
        self._arrival.set()

    def _fail(self, error):
        self._error = error
        self._stop()
        self._mailbox.fail(error)
        self._writable.set()
        self._arrival.set()

    def _stop(self):
        self._loop.remove_reader(self._fd)
        if self._writer_on:
            self._loop.remove_writer(self._fd)
            self._writer_on = False
        if self._stale_timer is not None:
            self._stale_timer.cancel()
            self._stale_timer = None
