"""A serial-line transport for KorvaPy.

`SerialNode` is a `KorvaPy.KORVA_PUBLIC` whose link is a tty: a USB serial
adapter, an on-board UART or a pseudo-terminal. It puts the line in raw 8N1
mode at the chosen baud rate and serves the engine's `__write__`, `__read__`
and `__available__` hooks from it; received messages go to the callback given
at construction, or to an overriding `__rx_callback__`.

    with SerialNode(3, "/dev/ttyUSB0", baud=115200, on_message=print) as node:
        node.write(14, 5, [1, 2], 2)
        while True:
            node.poll(0.1)
"""

import errno
import fcntl
import os
import select
import struct
import termios
import time

import KorvaPy

__all__ = ["SerialNode", "crc16"]

HEADER_SIZE = 4
RESERVED_IDS = range(60, 64)
_FIRST_POLL_NAP = 0.001


def crc16(data, crc=0xFFFF):
    """CRC-16/CMS of `data` (polynomial 0x8005, MSB first), as frames carry it."""
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc


def _baud_constant(baud):
    # B0 is not a rate: it tells the line to hang up.
    known = isinstance(baud, int) and not isinstance(baud, bool) and baud > 0
    constant = getattr(termios, "B%d" % baud, None) if known else None
    if constant is None:
        raise ValueError("unsupported baud rate: %r" % (baud,))
    return constant


def _raw_8n1(attributes, speed):
    """Return tty attributes for raw 8N1 at `speed`, no flow control,
    reads that never block (the hooks do their own waiting)."""
    iflag, oflag, cflag, lflag, _, _, cc = attributes
    iflag &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP | termios.INLCR
               | termios.IGNCR | termios.ICRNL | termios.IXON | termios.IXOFF | termios.IXANY)
    oflag &= ~termios.OPOST
    lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN)
    cflag &= ~(termios.CSIZE | termios.PARENB | termios.CSTOPB | getattr(termios, "CRTSCTS", 0))
    cflag |= termios.CS8 | termios.CREAD | termios.CLOCAL
    cc = list(cc)
    cc[termios.VMIN] = 0
    cc[termios.VTIME] = 0
    return [iflag, oflag, cflag, lflag, speed, speed, cc]


class SerialNode(KorvaPy.KORVA_PUBLIC):
    """A KorvaPy node on a serial line.

    `device` is a path ("/dev/ttyUSB0", a pseudo-terminal) or an open file
    descriptor; a descriptor is duplicated, so the caller's stays open and
    is the caller's to close. `baud` is one of the rates termios knows.
    `read_timeout` bounds how long one `__read__` waits for its bytes and
    `write_timeout` how long a blocked line may hold up one `__write__`.
    `on_message(message_type, status, header)` receives every message the
    engine delivers. An unusable device raises OSError naming it.
    """

    def __init__(self, node_id, device, baud=115200, read_timeout=0.5, write_timeout=1.0, on_message=None):
        super().__init__(node_id)
        speed = _baud_constant(baud)
        self._own_id = node_id if node_id <= 15 else 15
        self.device = device if isinstance(device, str) else "<file descriptor %d>" % device
        self.baud = baud
        self.read_timeout = read_timeout
        self.write_timeout = write_timeout
        self.on_message = on_message
        self._fd = None
        self._saved_attributes = None
        self._open(device, speed)

    # -- the line ---------------------------------------------------------

    def _open(self, device, speed):
        try:
            if isinstance(device, str):
                fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            else:
                fd = os.dup(device)
        except OSError as error:
            raise OSError(error.errno, "cannot open %s: %s" % (self.device, error.strerror), self.device) from None
        try:
            if not os.isatty(fd):
                raise OSError(errno.ENOTTY, "%s is not a terminal" % self.device, self.device)
            os.set_blocking(fd, False)
            self._saved_attributes = termios.tcgetattr(fd)
            termios.tcsetattr(fd, termios.TCSANOW, _raw_8n1(self._saved_attributes, speed))
        except termios.error as error:
            os.close(fd)
            raise OSError(error.args[0], "cannot configure %s: %s" % (self.device, error.args[1]),
                          self.device) from None
        except OSError:
            os.close(fd)
            raise
        self._fd = fd

    def fileno(self):
        """The descriptor of the line, for select() and friends."""
        if self._fd is None:
            raise ValueError("%s is closed" % self.device)
        return self._fd

    @property
    def closed(self):
        """True once close() has run."""
        return self._fd is None

    def close(self):
        """Restore the terminal settings this node changed and close its
        descriptor. Safe to call more than once.

        The two ends of a pseudo-terminal share one set of settings: close
        one end only once the other has read what it still needs."""
        if self._fd is None:
            return
        fd, self._fd = self._fd, None
        try:
            termios.tcsetattr(fd, termios.TCSANOW, self._saved_attributes)
        except termios.error:
            pass  # the other end may already be gone; the descriptor still closes
        finally:
            os.close(fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    # -- engine hooks -----------------------------------------------------

    def __available__(self):
        count = bytearray(4)
        fcntl.ioctl(self.fileno(), termios.FIONREAD, count)
        return struct.unpack("i", bytes(count))[0]

    def __write__(self, buffer, length):
        data = bytes(buffer[:length])
        deadline = time.monotonic() + self.write_timeout
        while data:
            try:
                data = data[os.write(self.fileno(), data):]
                continue
            except BlockingIOError:
                pass
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return KorvaPy.KORVA_STATUS_TIMEOUT
            select.select([], [self._fd], [], remaining)
        return KorvaPy.KORVA_STATUS_SUCCESS

    def __read__(self, length):
        received = bytearray()
        deadline = time.monotonic() + self.read_timeout
        while len(received) < length:
            try:
                chunk = os.read(self.fileno(), length - len(received))
            except BlockingIOError:
                chunk = None
            except OSError as error:
                if error.errno != errno.EIO:  # EIO: the other end hung up
                    raise
                chunk = None
            if chunk:
                received += chunk
                continue
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                break
            select.select([self._fd], [], [], min(remaining, 0.05))
        pair = KorvaPy.Korva_Pair()
        pair.vec = received
        pair.status = KorvaPy.KORVA_STATUS_SUCCESS if len(received) == length else KorvaPy.KORVA_STATUS_TIMEOUT
        return pair

    def __rx_callback__(self, message_type, status, header):
        if self.on_message is not None:
            self.on_message(message_type, status, header)

    def __tx_callback__(self, message_type, status, header):
        pass

    # -- conveniences -----------------------------------------------------

    @property
    def own_id(self):
        """This node's 4-bit id, the transmitter id of what it sends."""
        return self._own_id

    def assign_new_id(self, new_id):
        """Change this node's id to the low four bits of `new_id`."""
        super().assign_new_id(new_id)
        self._own_id = new_id & 0x0F

    def poll(self, timeout):
        """Wait up to `timeout` seconds for a frame's first bytes, then run the
        listener once; returns its status, or KORVA_STATUS_DEFAULT if nothing came."""
        deadline = time.monotonic() + timeout
        while True:
            available = self.__available__()
            if available >= HEADER_SIZE:
                return self.listener()
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return KorvaPy.KORVA_STATUS_DEFAULT
            if available == 0:
                select.select([self.fileno()], [], [], remaining)
            else:
                time.sleep(min(_FIRST_POLL_NAP, remaining))  # a frame is arriving

    def request_reserved(self, receiver_id, message_id):
        """Send a request with reserved message id 60 to 63 to `receiver_id`
        (0 to 15); the peer's engine answers it by itself, and the answer
        arrives through the listener (for id 63: the peer's version number,
        four bytes, least significant first). The engine's own sending
        operations refuse these ids, so this writes the 7-byte frame itself."""
        if message_id not in RESERVED_IDS:
            raise ValueError("reserved message ids are 60 to 63, not %r" % (message_id,))
        if not 0 <= receiver_id <= 15:
            raise ValueError("receiver ids are 0 to 15, not %r" % (receiver_id,))
        header = [int(KorvaPy.MESSAGE_START), 0, (self._own_id << 4) | receiver_id,
                  (message_id << 2) | int(KorvaPy.KV_REQUEST_EVENT)]
        checksum = crc16(header)
        frame = header + [checksum >> 8, checksum & 0xFF, int(KorvaPy.MESSAGE_END)]
        return self.__write__(frame, len(frame))
