"""korva: the Python face of KorvaPy.

- `korva.frame`: the frame codec (compose and check frames in Python);
- `korva.link`: `LinkNode`, a node on the native link core;
- `korva.serial`: `SerialNode`, a node on a tty;
- `korva.tcp`: `TcpNode`, a node on a TCP stream (ser2net);
- `korva.pipe`: `PipeNode` and `pipe_pair`, nodes on an in-memory pipe;
- `open_node(target, node_id)`: a serial or TCP node, by name
  ("/dev/ttyUSB0", "tcp://host:port");
- `korva.aio`: nodes for asyncio;
- `korva.messages`: `Message` (request and reply);
- `korva.errors`: `KorvaError`, the base of `KorvaTimeout` and `SendRefused`;
- `korva.wire`, `korva.pcap`: every frame on a line, and capture files;
- `korva.gateway`: links served to an MQTT broker (needs the korva[mqtt]
  extra, paho-mqtt);
- `python -m korva`: the command-line tool (monitor, send, request, scan,
  record, replay, gateway, dashboard).

The engine itself is the extension module `KorvaPy`. Names are imported
when first used, so `korva.frame`, `korva.wire` and `korva.pcap` work
without the compiled modules.
"""

import importlib

_HOMES = {
    "Frame": "frame", "crc16": "frame", "decode": "frame", "encode": "frame",
    "KorvaError": "errors", "KorvaTimeout": "errors", "SendRefused": "errors",
    "LinkNode": "link", "LinkStats": "stats", "Message": "messages",
    "PipeNode": "pipe", "pipe_pair": "pipe", "SerialNode": "serial", "TcpNode": "tcp", "open_node": "connect",
}

__all__ = sorted(_HOMES)


def __getattr__(name):
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError("module 'korva' has no attribute %r" % (name,))
    value = getattr(importlib.import_module("." + home, __name__), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_HOMES))
