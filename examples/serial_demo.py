"""Two KorvaPy nodes talking over a serial line.

Without arguments, runs two processes joined by a pseudo-terminal pair (a
real tty in raw mode, as a USB serial adapter presents itself): node 3 and
node 14 exchange writes both ways, each sends a public write, node 14 sends
200 bytes in pieces through the streamed send, and node 3 asks node 14 for
its version with a reserved request that node 14's engine answers by itself.

With --port DEVICE --baud RATE --id N, runs one node on a real serial line:
id 3 plays the asking side (its peer is --peer, 14 by default), any other id
the answering side.
"""

import argparse
import os
import subprocess
import sys
import time

import KorvaPy
from korva_serial import SerialNode

TYPE_NAMES = {0: "write", 1: "request", 2: "response", 3: "indicate"}
HELLO, REPLY, PUBLIC, STREAMED, BYE = 1, 2, 3, 4, 9
VERSION_REQUEST = 63
FRAME_OVERHEAD = 7  # start, length, address, id/type, checksum (2), end
STREAMED_LENGTH = 200
PIECE = 50
DEADLINE_SECONDS = 20


def hex_bytes(data):
    return " ".join("%02X" % byte for byte in data)


def describe_header(length, address, id_type):
    return "len %3d from %2d to %2d %-8s id %2d" % (length, address >> 4, address & 0x0F,
                                                   TYPE_NAMES[id_type & 3], id_type >> 2)


class DemoNode(SerialNode):
    """A SerialNode that prints every frame it sends and receives."""

    def __init__(self, node_id, device, baud):
        super().__init__(node_id, device, baud=baud, read_timeout=1.0)
        self.inbox = []
        self._read_since_frame = bytearray()

    def say(self, text):
        # One write per line, so the two processes' lines never interleave.
        sys.stdout.write("node %2d: %s\n" % (self.own_id, text))
        sys.stdout.flush()

    def __write__(self, buffer, length):
        piece = buffer[:length]
        whole_frame = len(piece) >= FRAME_OVERHEAD and piece[0] == KorvaPy.MESSAGE_START \
            and len(piece) == piece[1] + FRAME_OVERHEAD
        if whole_frame:
            self.say("sends    %s | %s" % (describe_header(*piece[1:4]), hex_bytes(piece)))
        else:
            self.say("sends    %-40s | %s" % ("piece of %d byte(s)" % length, hex_bytes(piece)))
        return super().__write__(buffer, length)

    def __read__(self, length):
        pair = super().__read__(length)
        self._read_since_frame += bytes(pair.vec)
        return pair

    def __rx_callback__(self, message_type, status, header):
        raw = self._read_since_frame[self._read_since_frame.rfind(KorvaPy.MESSAGE_START):]
        self.say("receives %s | %s  (%s)" % (
            describe_header(header.data_len, header.transmitter_id << 4 | header.receiver_id,
                            header.message_id << 2 | header.message_type),
            hex_bytes(raw), KorvaPy.KORVA_PUBLIC.resolve_status(status)))
        self.inbox.append(header)

    def listen_until(self, wanted, deadline):
        """Run the listener until a message matching `wanted` arrives."""
        while time.monotonic() < deadline:
            self._read_since_frame.clear()
            self.poll(0.2)
            for index, header in enumerate(self.inbox):
                if wanted(header):
                    return self.inbox.pop(index)
        raise TimeoutError("node %d gave up waiting" % self.own_id)


def text(data):
    return bytes(data).decode(errors="replace")


def run_asking_side(node, peer):
    deadline = time.monotonic() + DEADLINE_SECONDS
    node.write(peer, HELLO, list(b"hello 14"), 8)
    reply = node.listen_until(lambda h: h.message_id == REPLY, deadline)
    node.say("got reply %r" % text(reply.data))
    public = node.listen_until(lambda h: h.message_id == PUBLIC, deadline)
    node.say("got public write %r addressed to %d" % (text(public.data), public.receiver_id))
    long_message = node.listen_until(lambda h: h.message_id == STREAMED, deadline)
    assert long_message.data == [i & 0xFF for i in range(STREAMED_LENGTH)], "streamed payload damaged"
    node.say("got the %d-byte streamed message intact" % len(long_message.data))
    message = list(b"hello everyone")
    node.write_public(PUBLIC, message, len(message))

    node.request_reserved(peer, VERSION_REQUEST)
    answer = node.listen_until(lambda h: h.message_type == KorvaPy.KV_RESPONSE_EVENT
                               and h.message_id == VERSION_REQUEST, deadline)
    version = int.from_bytes(bytes(answer.data), "little")
    node.say("node %d runs engine version %d" % (peer, version))
    # Both ends of a pseudo-terminal share one set of line settings, so the
    # side that restores them first must know the other has read everything.
    node.write(peer, BYE, list(b"bye"), 3)
    node.listen_until(lambda h: h.message_id == BYE, deadline)
    return 0 if version == 100004 else 1


def run_answering_side(node):
    deadline = time.monotonic() + DEADLINE_SECONDS
    hello = node.listen_until(lambda h: h.message_id == HELLO, deadline)
    asker = hello.transmitter_id
    node.say("got %r from node %d" % (text(hello.data), asker))
    reply = list(b"hello %d" % asker)
    node.write(asker, REPLY, reply, len(reply))
    message = list(b"hello everyone")
    node.write_public(PUBLIC, message, len(message))

    payload = [i & 0xFF for i in range(STREAMED_LENGTH)]
    node.start_write_queue(KorvaPy.KV_INDICATE_EVENT, asker, STREAMED, STREAMED_LENGTH, 5)
    for start in range(0, STREAMED_LENGTH, PIECE):
        node.push_to_queue(payload[start:start + PIECE], PIECE)
    node.finalize_queue(5)

    public = node.listen_until(lambda h: h.message_id == PUBLIC, deadline)
    node.say("got public write %r" % text(public.data))
    node.listen_until(lambda h: h.message_id == BYE, deadline)  # answers the version request meanwhile
    node.write(asker, BYE, list(b"bye"), 3)
    node.say("done")
    return 0


def run_node(device, baud, node_id, peer):
    with DemoNode(node_id, device, baud) as node:
        if node_id == 3:
            return run_asking_side(node, peer)
        return run_answering_side(node)


def run_pair():
    """Both nodes, as two processes on the two ends of a pseudo-terminal."""
    main_end, other_end = os.openpty()
    script = os.path.abspath(__file__)
    children = [
        subprocess.Popen([sys.executable, script, "--fd", str(other_end), "--id", "14"], pass_fds=[other_end]),
        subprocess.Popen([sys.executable, script, "--fd", str(main_end), "--id", "3"], pass_fds=[main_end]),
    ]
    # Holding both ends open until both nodes are done keeps the line from
    # hanging up under the node that reads last.
    results = [child.wait(timeout=DEADLINE_SECONDS + 10) for child in children]
    os.close(main_end)
    os.close(other_end)
    print("demo %s" % ("finished" if results == [0, 0] else "FAILED: exit statuses %s" % results))
    return 0 if results == [0, 0] else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", help="serial device, e.g. /dev/ttyUSB0")
    parser.add_argument("--fd", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--baud", type=int, default=115200)
    parser.add_argument("--id", type=int, default=3, help="this node's id (3 asks, others answer)")
    parser.add_argument("--peer", type=int, default=14, help="the node id 3 talks to")
    args = parser.parse_args()
    if args.port is None and args.fd is None:
        return run_pair()
    return run_node(args.port if args.port is not None else args.fd, args.baud, args.id, args.peer)


if __name__ == "__main__":
    sys.exit(main())
