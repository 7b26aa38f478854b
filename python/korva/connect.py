"""Reaching a line by name: a tty path such as "/dev/ttyUSB0"."""

import _korva_link

from .serial import SerialNode

__all__ = ["open_line", "open_node"]


def open_line(target, baud=115200):
    """A bare `_korva_link.Line` on `target`, for tools that only listen or
    replay bytes: no engine is behind it, so nothing is ever answered."""
    return _korva_link.Line.open_tty(target, baud)


def open_node(target, node_id, **options):
    """A node with id `node_id` on `target`; `options` go to its class."""
    return SerialNode(node_id, target, **options)
