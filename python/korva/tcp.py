"""Nodes on a TCP byte stream: a serial port served over the network by
ser2net or `socat TCP-LISTEN`, or a device that speaks raw TCP itself.

Targets are written "tcp://host:port". The stream is taken as raw bytes:
telnet-mode escaping (RFC 2217, where 0xFF is doubled) is not spoken, so
serve the port raw (ser2net: `accepter: tcp,PORT`, not `telnet,tcp,PORT`).

    with TcpNode(3, "raspberrypi.local", 4000, reconnect=True) as node:
        node.write(14, 5, [1, 2], 2)
"""

import socket

from .addresses import host_and_port, url
from .link import LinkNode

__all__ = ["TCP_GAP", "TcpNode", "connect", "parse_target"]

TCP_GAP = 0.1  # seconds; network hops deliver a frame's bytes with more spacing than a wire


def parse_target(target):
    """(host, port) for a "tcp://host:port" target; None for anything else."""
    if not target.startswith("tcp://"):
        return None
    address = host_and_port(target, ("tcp",))
    if address is None:
        raise ValueError("a TCP target is tcp://HOST:PORT, not %r" % target)
    return address


def connect(host, port, timeout):
    """A connected socket with Nagle's delay off (frames are small and
    latency matters); OSError naming the target if it cannot be had."""
    try:
        sock = socket.create_connection((host, port), timeout)
    except OSError as error:
        raise OSError(error.errno, "cannot connect to %s: %s" % (url("tcp", host, port), error.strerror or error)) \
            from None
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


class TcpNode(LinkNode):
    """A KorvaPy node on a TCP connection to `host`:`port`, with every
    guarantee of the link (see `korva.link`).

    `connect_timeout` bounds each connection attempt. `inter_byte_gap`
    (seconds) is how long a fragment may wait for the rest of its frame.
    With `reconnect`, a dropped connection is made again by itself (see
    `LinkNode._reconnect_with`); without it, a drop raises OSError naming
    the target."""

    def __init__(self, node_id, host, port, connect_timeout=5.0, inter_byte_gap=TCP_GAP, reconnect=False,
                 **options):
        super().__init__(node_id, **options)
        self.target = url("tcp", host, port)
        self.connect_timeout = connect_timeout
        self._connect(host, port, inter_byte_gap)
        if reconnect:
            self._reconnect_with(lambda: self._connect(host, port, inter_byte_gap))

    def _connect(self, host, port, gap):
        self._adopt(connect(host, port, self.connect_timeout).detach(), self.target, gap)
