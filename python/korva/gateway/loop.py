"""The gateway's one thread: it waits on every line and every broker
connection at once, reads what came, publishes it and takes the broker's
acknowledgements in one pass.

A thread per line and per connection would wake (and take the interpreter's
lock) for every frame and every acknowledgement. Here, while frames flow, a
pass starts at most every `BATCH` seconds, so the frames and
acknowledgements that arrived meanwhile are handled together; a quiet
gateway sleeps until something arrives and handles it at once. The delay
costs no frame: a fragment's bytes are stamped as they are read, so a frame
read in two passes is still one frame, and a fragment the line went quiet
in is dropped on time by a pass woken for it.

Lines are nodes (`korva.link.LinkNode`) read with `_loop_read`; a node
whose line is down (being reopened) is skipped until it is back.
Connections are `korva.gateway.connection.Connection`s; one that ends is
closed and forgotten, and its `lost(error)` told. Packets are written by
this thread only, after each pass's reads: a publish never writes, so it
never finds a broken connection in the middle of its caller's work (whose
locks it holds). Whoever queues a packet says so (`to_write`), and a pass
writes only the connections that have something to write.

What is served is looked up again only when it changed (a line reopened,
a connection watched or forgotten), so that a pass does not ask every
line and connection for its state.
"""

import os
import select
import threading
import time

__all__ = ["BATCH", "KEEPALIVE_CHECK", "STOP_WAIT", "Loop"]

BATCH = 0.01          # seconds between the starts of two passes while frames flow
KEEPALIVE_CHECK = 1.0  # seconds between the connections' keepalive checks
STOP_WAIT = 5.0       # seconds `stop` waits for the thread
_STALE_MARGIN = 0.001  # past the moment a fragment goes stale, so that it is


class Loop:
    """One thread serving lines and broker connections; `tick()` runs on it
    every `interval` seconds."""

    def __init__(self, tick, interval):
        self._tick = tick
        self._interval = interval
        self._lock = threading.Lock()
        self._nodes = []
        self._connections = {}  # connection: lost(error)
        self._writers = set()  # connections with packets queued
        self._changed = True  # what is served changed since it was looked up
        self._lines = {}  # fd: node, of the lines that are there
        self._sockets = {}  # socket: connection
        self._tls = []  # the sockets that may hold bytes read and decrypted already
        self._stale = {}  # node: monotonic time its fragment goes stale
        self._wake_read, self._wake_write = os.pipe()
        os.set_blocking(self._wake_read, False)
        os.set_blocking(self._wake_write, False)
        self._stopping = False
        self._thread = None
        self._ident = None  # the thread's

    def add_node(self, node):
        """Read `node`'s line from now on."""
        with self._lock:
            self._nodes.append(node)
        self.wake()

    def watch(self, connection, lost):
        """Drive `connection` until it ends; then close it and tell
        `lost(error)` (None: it ended in order)."""
        with self._lock:
            self._connections[connection] = lost
        self._writers.add(connection)  # its login
        self.wake()

    def forget(self, connection):
        """Stop driving `connection`, and close it."""
        with self._lock:
            self._connections.pop(connection, None)
        self._writers.discard(connection)
        self._changed = True
        connection.close()

    def wake(self):
        """Have the thread look again at what it serves (a line back, a new
        connection) without waiting for its timeout."""
        self._changed = True
        self._nudge()

    def to_write(self, connection):
        """`connection` has packets queued, by whichever thread: the thread
        writes them in its next pass."""
        self._writers.add(connection)
        self._nudge()

    def _nudge(self):
        if threading.get_ident() == self._ident:
            return  # the pass in progress writes what it queued, and looks again
        try:
            os.write(self._wake_write, b"!")
        except BlockingIOError:
            pass  # a wake is pending already

    def start(self):
        """Start the thread."""
        self._thread = threading.Thread(target=self._run, name="korva gateway loop", daemon=True)
        self._thread.start()

    def stop(self):
        """End the thread, and wait for it (up to `STOP_WAIT`: a pass held up
        by a line or a broker must not keep the gateway from ending; the
        thread is a daemon)."""
        self._stopping = True
        self.wake()
        if self._thread is not None and self._thread.ident != threading.get_ident():
            self._thread.join(STOP_WAIT)
            if self._thread.is_alive():
                return  # its pipe stays open for it: a number reused under it would be worse
        os.close(self._wake_read)
        os.close(self._wake_write)

    def _run(self):
        self._ident = threading.get_ident()
        now = time.monotonic()
        timers = {self._check_keepalives: now + KEEPALIVE_CHECK, self._tick: now + self._interval}
        periods = {self._check_keepalives: KEEPALIVE_CHECK, self._tick: self._interval}
        last_pass, busy = 0.0, False
        while not self._stopping:
            if busy:  # let what flows gather, then take it all at once
                time.sleep(max(last_pass + BATCH - time.monotonic(), 0.0))
            last_pass = time.monotonic()
            if self._changed:
                self._look_up()
            deadline = min(list(timers.values()) + list(self._stale.values()))
            busy = self._pass(max(deadline - last_pass, 0.0))
            now = time.monotonic()
            self._expire(now)
            for run, moment in list(timers.items()):
                if now >= moment:
                    timers[run] = now + periods[run]
                    run()

    def _look_up(self):
        """Find the descriptors of the lines that are there and of the connections."""
        self._changed = False  # before looking: a change while looking is looked up next pass
        with self._lock:
            nodes, connections = list(self._nodes), list(self._connections)
        self._lines = {}
        for node in nodes:
            try:
                self._lines[node.fileno()] = node
            except ValueError:
                pass  # its line is being reopened; its reopening wakes us
        self._sockets = {connection.socket(): connection for connection in connections}
        self._tls = [sock for sock in self._sockets if hasattr(sock, "pending")]

    def _pass(self, timeout):
        """Wait up to `timeout` for anything, then serve it; whether
        anything came."""
        lines, sockets = self._lines, self._sockets
        pending = [sock for sock in self._tls if sock.pending()]
        writers = set(self._writers)
        writing = [sock for sock, connection in sockets.items() if connection in writers]  # queued, or waits for room
        try:
            readable, writable, _ = select.select([self._wake_read] + list(lines) + list(sockets), writing, [],
                                                  0.0 if pending else timeout)
        except (OSError, ValueError):
            self._changed = True
            return False  # a line or socket closed under us: look again
        if self._wake_read in readable:
            os.read(self._wake_read, 4096)
        for fd in readable:
            if fd in lines:
                self._read_line(lines[fd])
        for sock in set(readable + pending) & set(sockets):
            self._serve(sockets[sock], sockets[sock].read)
        for connection in list(self._writers):  # what this pass published, what others queued, what waited for room
            self._writers.discard(connection)  # before writing: a packet queued meanwhile puts it back
            self._serve(connection, connection.write)
        return len(readable) > (self._wake_read in readable) or bool(writable)

    def _read_line(self, node):
        try:
            _, stale_in = node._loop_read()
        except (OSError, ValueError):
            return  # the line failed: the node reopens it and says so
        if stale_in is None:
            self._stale.pop(node, None)
        else:
            self._stale[node] = time.monotonic() + stale_in + _STALE_MARGIN

    def _expire(self, now):
        for node, moment in list(self._stale.items()):
            if moment <= now:
                self._read_line(node)

    def _check_keepalives(self):
        with self._lock:
            connections = list(self._connections)
        for connection in connections:
            self._serve(connection, connection.check)

    def _serve(self, connection, call):
        """Run one of `connection`'s calls; one that ended is closed and
        forgotten, and its `lost(error)` told."""
        try:
            if call():
                if connection.want_write():  # what the call queued (acknowledgements, pings), or found no room for
                    self._writers.add(connection)
                return
            error = None
        except OSError as failure:
            error = failure
        with self._lock:
            lost = self._connections.pop(connection, None)
        self._writers.discard(connection)
        self._changed = True
        connection.close()
        if lost is not None:
            lost(error)
