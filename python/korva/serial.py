"""A KorvaPy node on a serial line.

`SerialNode` is a `korva.link.LinkNode` on a tty: a USB serial adapter, an
on-board UART or a pseudo-terminal, put in raw 8N1 mode at the chosen rate.

    with SerialNode(3, "/dev/ttyUSB0", baud=115200, on_message=print) as node:
        node.write(14, 5, [1, 2], 2)
        while True:
            node.poll(0.1)
"""

from .link import LinkNode

__all__ = ["SerialNode"]


def _check_baud(baud):
    # B0 is not a rate: it tells the line to hang up.
    if not isinstance(baud, int) or isinstance(baud, bool) or baud <= 0:
        raise ValueError("unsupported baud rate: %r" % (baud,))


class SerialNode(LinkNode):
    """A KorvaPy node on a serial line.

    `device` is a path ("/dev/ttyUSB0", a pseudo-terminal) or an open file
    descriptor; a descriptor is duplicated, so the caller's stays open and
    is the caller's to close. `baud` is one of the rates termios knows.
    `read_timeout` is how long `poll()` waits when given no timeout, and
    `write_timeout` how long a send waits for room while the line is slow.
    `inter_byte_gap` (seconds) is how long a fragment may wait for the rest
    of its frame; by default twenty character times, at least 10 ms.
    `on_message(message_type, status, header)` receives every message the
    engine delivers. An unusable device raises OSError naming it; so does an
    I/O error of a device that vanished, unless `reconnect` is true: then
    the node reopens the device by its path when it comes back (see
    `LinkNode._reconnect_with`) and tells `on_line_change(up)`.
    """

    def __init__(self, node_id, device, baud=115200, read_timeout=0.5, write_timeout=1.0, on_message=None,
                 inter_byte_gap=None, reconnect=False, on_line_change=None, on_frame=None):
        super().__init__(node_id, on_message=on_message, write_timeout=write_timeout,
                         on_line_change=on_line_change, on_frame=on_frame)
        _check_baud(baud)
        self.device = device if isinstance(device, str) else "<file descriptor %d>" % device
        self.baud = baud
        self.read_timeout = read_timeout
        if isinstance(device, str):
            self._open_tty(device, baud)
        else:
            self._adopt_tty(device, self.device, baud)
        if inter_byte_gap is not None:
            self.inter_byte_gap = inter_byte_gap
        if reconnect:
            if not isinstance(device, str):
                raise ValueError("reconnecting needs a device path to reopen, not a file descriptor")
            self._reconnect_with(lambda: self._open_tty(device, baud))

    def poll(self, timeout=None):
        """Wait up to `timeout` seconds (`read_timeout` if None) for a whole
        frame, then run the listener on every whole frame buffered; returns
        the last listener status, or KORVA_STATUS_DEFAULT if nothing came."""
        return super().poll(self.read_timeout if timeout is None else timeout)

    def close(self):
        """Send what is still queued, restore the terminal settings this node
        changed and close its descriptor. Safe to call more than once.

        The two ends of a pseudo-terminal share one set of settings: close
        one end only once the other has read what it still needs."""
        super().close()
