"""Nodes joined by an in-memory byte pipe (a local socket pair), for tests
and benchmarks."""

import socket

from .link import LinkNode

__all__ = ["PipeNode", "pipe_pair"]


class PipeNode(LinkNode):
    """A node on one end of an in-memory byte pipe; `pipe_pair` makes two
    joined ones."""

    def __init__(self, node_id, sock, name="pipe", inter_byte_gap=0.1, **options):
        super().__init__(node_id, **options)
        self._adopt(sock.detach(), name, inter_byte_gap)


def pipe_pair(id_a, id_b, **options):
    """Two PipeNodes joined back to back, with ids `id_a` and `id_b`."""
    end_a, end_b = socket.socketpair()
    return (PipeNode(id_a, end_a, "pipe from node %d" % id_a, **options),
            PipeNode(id_b, end_b, "pipe from node %d" % id_b, **options))
