"""Nodes for asyncio.

    node = await korva.aio.open_node("tcp://gateway:4000", 3)
    async with node:
        await node.write(14, 5, b"\\x01\\x02")
        reply = await node.request(14, 6, timeout=0.5)
        async for message in node:
            print(message)

Nothing here blocks the event loop. The line is read by the loop's reader
callback into the link's receive buffer, and the engine's listener runs
only once a whole frame (or a certain error) is buffered. A fragment the
line goes quiet in is dropped by a timer. Sends queue their whole frame in
the link and return; bytes the line cannot take yet go out from the loop's
writer callback. A send waits (on the loop) only while more than
`HIGH_WATER` bytes are still waiting for the line.

A message goes to the `request` or `receive` waiting for it; the others are
yielded by `async for`. A failed line ends the node: waiting calls and the
iteration raise the OSError. These nodes do not reconnect by themselves.
"""

import asyncio
import collections
import socket

import _korva_link

from . import frame
from .connect import CONNECT_TIMEOUT, line_gap
from .link import LinkNode, LinkStats
from .messages import INBOX_SIZE, KorvaTimeout, Message, reply_to, selected
from .tcp import parse_target

__all__ = ["HIGH_WATER", "Node", "open_node"]

HIGH_WATER = 16384  # bytes waiting for the line before a send waits


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
    name = "tcp://%s:%d" % (host, port)
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

    def __init__(self, line, node_id, inter_byte_gap):
        self._loop = asyncio.get_running_loop()
        self._line = line
        self._fd = line.fileno()
        self._engine = LinkNode(node_id, on_message=self._arrived)
        self._engine.inter_byte_gap = inter_byte_gap
        self._unsent = bytearray()
        self._room = asyncio.Event()
        self._room.set()
        self._flushed = asyncio.Event()
        self._flushed.set()
        self._writer_on = False
        self._stale_timer = None
        self._waiters = []
        self._inbox = collections.deque(maxlen=INBOX_SIZE)
        self._arrival = asyncio.Event()
        self._unmatched = 0
        self._error = None
        self._loop.add_reader(self._fd, self._readable)

    @property
    def own_id(self):
        """This node's id."""
        return self._engine.own_id

    @property
    def stats(self):
        """The link's counters, a `korva.link.LinkStats`."""
        return LinkStats(**self._engine.link_stats(), unmatched_responses=self._unmatched)

    async def write(self, receiver_id, message_id, data=b""):
        """Send a write frame with body `data`; returns the engine's status."""
        data = list(bytes(data))
        return await self._send(lambda: self._engine.write(receiver_id, message_id, data, len(data)))

    async def write_public(self, message_id, data=b""):
        """Send a write frame to every node (id 15); returns the status."""
        data = list(bytes(data))
        return await self._send(lambda: self._engine.write_public(message_id, data, len(data)))

    async def send_frame(self, raw):
        """Send one frame composed with `korva.frame.encode`, whole."""
        return await self._send(lambda: self._engine.write_frame(raw))

    async def request(self, receiver_id, message_id, data=b"", timeout=1.0, retries=0):
        """Send a request and return its reply, as `korva.link.LinkNode.request`
        does (same matching, same caveat: frames carry no sequence number)."""
        raw = frame.encode(self.own_id, receiver_id, frame.REQUEST, message_id, data)
        waiter = self._wait_for(reply_to(receiver_id, message_id))
        try:
            for _ in range(1 + retries):
                await self.send_frame(raw)
                try:
                    return await asyncio.wait_for(asyncio.shield(waiter[1]), timeout)
                except asyncio.TimeoutError:
                    continue
        finally:
            self._forget(waiter)
        raise KorvaTimeout("no reply from node %d to request %d after %d attempt%s of %g s"
                           % (receiver_id, message_id, 1 + retries, "" if retries == 0 else "s", timeout))

    async def respond(self, message, data=b""):
        """Answer the request `message`: a response with its id, to its sender."""
        return await self.send_frame(frame.encode(self.own_id, message.transmitter_id, frame.RESPONSE,
                                                  message.message_id, data))

    async def receive(self, timeout, transmitter_id=None, message_id=None, message_type=None):
        """The next matching message, as `korva.link.LinkNode.receive`."""
        matches = selected(transmitter_id, message_id, message_type)
        for message in self._inbox:
            if matches(message):
                self._inbox.remove(message)
                return message
        waiter = self._wait_for(matches)
        try:
            return await asyncio.wait_for(asyncio.shield(waiter[1]), timeout)
        except asyncio.TimeoutError:
            raise KorvaTimeout("no matching message within %g s" % timeout) from None
        finally:
            self._forget(waiter)

    def __aiter__(self):
        return self

    async def __anext__(self):
        while not self._inbox:
            if self._error is not None:
                raise self._error
            if self._line.closed:
                raise StopAsyncIteration
            self._arrival.clear()
            await self._arrival.wait()
        return self._inbox.popleft()

    async def close(self):
        """Send what is queued (waiting up to a second), then close the line."""
        if self._line.closed:
            return
        if self._unsent and self._error is None:
            try:
                await asyncio.wait_for(self._flushed.wait(), 1.0)
            except asyncio.TimeoutError:
                pass
        self._stop()
        self._line.close()
        self._arrival.set()

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        await self.close()

    # --- the loop's side ---------------------------------------------------

    async def _send(self, operation):
        while len(self._unsent) > HIGH_WATER and self._error is None:
            self._room.clear()
            await self._room.wait()
        if self._error is not None:
            raise self._error
        status = operation()
        self._write_out()
        return status

    def _readable(self):
        try:
            data = self._line.read()
        except OSError as error:
            self._fail(error)
            return
        self._engine.feed(data)
        self._write_out()  # answers the engine gave
        self._watch_fragment()

    def _watch_fragment(self):
        if self._stale_timer is not None:
            self._stale_timer.cancel()
            self._stale_timer = None
        stale_in = self._engine.stale_in
        if stale_in is not None:
            self._stale_timer = self._loop.call_later(stale_in + 0.001, self._expire)

    def _expire(self):
        self._stale_timer = None
        self._engine.pump()
        self._watch_fragment()

    def _write_out(self):
        self._unsent += self._engine.take_output()
        if self._unsent:
            try:
                del self._unsent[:self._line.write(bytes(self._unsent))]
            except OSError as error:
                self._fail(error)
                return
        if bool(self._unsent) != self._writer_on:
            self._writer_on = bool(self._unsent)
            if self._writer_on:
                self._loop.add_writer(self._fd, self._write_out)
            else:
                self._loop.remove_writer(self._fd)
        if len(self._unsent) <= HIGH_WATER:
            self._room.set()
        if not self._unsent:
            self._flushed.set()
        else:
            self._flushed.clear()

    def _arrived(self, message_type, status, header):
        message = Message.from_header(message_type, status, header)
        for matches, future in self._waiters:
            if not future.done() and matches(message):
                future.set_result(message)
                return
        if message.message_type == frame.RESPONSE:
            self._unmatched += 1
        self._inbox.append(message)
        self._arrival.set()

    def _wait_for(self, matches):
        waiter = (matches, self._loop.create_future())
        self._waiters.append(waiter)
        return waiter

    def _forget(self, waiter):
        self._waiters.remove(waiter)

    def _fail(self, error):
        self._error = error
        self._stop()
        for _, future in self._waiters:
            if not future.done():
                future.set_exception(error)
        self._room.set()
        self._flushed.set()
        self._arrival.set()

    def _stop(self):
        self._loop.remove_reader(self._fd)
        if self._writer_on:
            self._loop.remove_writer(self._fd)
            self._writer_on = False
        if self._stale_timer is not None:
            self._stale_timer.cancel()
            self._stale_timer = None
