"""Reaching a line by name: a tty path such as "/dev/ttyUSB0", or
"tcp://host:port" for a raw TCP stream (ser2net, `socat TCP-LISTEN`)."""

import _korva_link

from .serial import SerialNode
from .tcp import TCP_GAP, TcpNode, connect, parse_target

__all__ = ["CONNECT_TIMEOUT", "line_gap", "open_line", "open_node"]

CONNECT_TIMEOUT = 5.0


def open_line(target, baud=115200):
    """A bare `_korva_link.Line` on `target`, for tools that only listen or
    replay bytes: no engine is behind it, so nothing is ever answered.
    `baud` sets a tty's rate; a TCP server sets its own."""
    address = parse_target(target)
    if address is None:
        return _korva_link.Line.open_tty(target, baud)
    return _korva_link.Line.adopt(connect(*address, CONNECT_TIMEOUT).detach(), target)


def line_gap(target, baud=115200):
    """Seconds a fragment may wait for the rest of its frame on `target`."""
    return _korva_link.default_gap(baud) if parse_target(target) is None else TCP_GAP


def open_node(target, node_id, **options):
    """A node with id `node_id` on `target`: a `korva.tcp.TcpNode` for a
    tcp:// URL, else a `korva.serial.SerialNode`; `options` go to its class
    (`baud` only to a serial node: over TCP the server sets the rate)."""
    address = parse_target(target)
    if address is None:
        return SerialNode(node_id, target, **options)
    options.pop("baud", None)
    return TcpNode(node_id, *address, **options)
