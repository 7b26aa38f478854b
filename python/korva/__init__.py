"""korva: the Python face of KorvaPy.

- `korva.frame`: the frame codec (compose and check frames in Python);
- `korva.link`: nodes on the native link core (`LinkNode`, `PipeNode`);
- `korva.serial`: `SerialNode`, a node on a tty;
- `korva.tcp`: `TcpNode`, a node on a TCP stream (ser2net);
- `open_node(target, node_id)`: either, by name ("/dev/ttyUSB0",
  "tcp://host:port");
- `korva.aio`: nodes for asyncio;
- `korva.messages`: `Message`, `KorvaTimeout` (request and reply);
- `korva.wire`, `korva.pcap`: every frame on a line, and capture files;
- `python -m korva`: the command-line tool (monitor, send, request, scan,
  record, replay).

The engine itself is the extension module `KorvaPy`.
"""

from .connect import open_node
from .frame import Frame, crc16, decode, encode
from .link import KorvaError, LinkNode, LinkStats, PipeNode, pipe_pair
from .messages import KorvaTimeout, Message
from .serial import SerialNode
from .tcp import TcpNode

__all__ = ["Frame", "crc16", "decode", "encode", "KorvaError", "KorvaTimeout", "LinkNode", "LinkStats", "Message",
           "PipeNode", "pipe_pair", "SerialNode", "TcpNode", "open_node"]
