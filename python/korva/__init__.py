"""korva: the Python face of KorvaPy.

- `korva.frame`: the frame codec (compose and check frames in Python);
- `korva.link`: nodes on the native link core (`LinkNode`, `PipeNode`);
- `korva.serial`: `SerialNode`, a node on a tty.

The engine itself is the extension module `KorvaPy`.
"""

from .frame import Frame, crc16, decode, encode
from .link import KorvaError, LinkNode, LinkStats, PipeNode, pipe_pair
from .serial import SerialNode

__all__ = ["Frame", "crc16", "decode", "encode", "KorvaError", "LinkNode", "LinkStats", "PipeNode", "pipe_pair",
           "SerialNode"]
