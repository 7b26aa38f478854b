"""korva: the Python face of KorvaPy.

- `korva.frame`: the frame codec (compose and check frames in Python);
- `korva.link`: nodes on the native link core (`LinkNode`, `PipeNode`);
- `korva.serial`: `SerialNode`, a node on a tty;
- `korva.messages`: `Message`, `KorvaTimeout` (request and reply);
- `korva.wire`, `korva.pcap`: every frame on a line, and capture files;
- `python -m korva`: the command-line tool (monitor, send, request, scan,
  record, replay).

The engine itself is the extension module `KorvaPy`.
"""

from .frame import Frame, crc16, decode, encode
from .link import KorvaError, LinkNode, LinkStats, PipeNode, pipe_pair
from .messages import KorvaTimeout, Message
from .serial import SerialNode

__all__ = ["Frame", "crc16", "decode", "encode", "KorvaError", "KorvaTimeout", "LinkNode", "LinkStats", "Message",
           "PipeNode", "pipe_pair", "SerialNode"]
