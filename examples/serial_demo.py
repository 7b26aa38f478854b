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
from korva import frame
from korva.serial import SerialNode

HELLO, REPLY, PUBLIC, STREAMED, BYE = 1, 2, 3, 4, 9
STREAMED_LENGTH = 200
PIECE = 50
DEADLINE_SECONDS = 20


def describe(raw):
    decoded = frame.decode(raw)
    return "len %3d from %2d to %2d %-8s id %2d | %s" % (
        len(decoded.data), decoded.transmitter_id, decoded.receiver_id, frame.TYPE_NAMES[decoded.message_type],
        decoded.message_id, raw.hex(" ").upper())


class DemoNode(SerialNode):
    """A SerialNode that prints every frame it sends and receives."""

    def __init__(self, node_id, device, baud):
        super().__init__(node_id, device, baud=baud, read_timeout=1.0)
        self.inbox = []

    def say(self, text):
        # One write per line, so the two processes' lines never interleave.
        sys.stdout.write("node %2d: %s\n" % (self.own_id, text))
        sys.stdout.flush()

    def send_shown(self, receiver_id, message_id, data, message_type=frame.WRITE):
        """Send a write (or, through the streamed send, any other type) and print its frame."""
        data = bytes(data)
        self.say("sends    %s" % describe(frame.encode(self.own_id, receiver_id, message_type, message_id, data)))
        if message_type == frame.WRITE:
            return self.write(receiver_id, message_id, list(data), len(data))
        with self.streamed(KorvaPy.Korva_event_types(message_type), receiver_id, message_id, len(data)) as stream:
            for start in range(0, len(data), PIECE):
                stream.push(data[start:start + PIECE])
        return KorvaPy.KORVA_STATUS_SUCCESS

    def __rx_callback__(self, message_type, status, header):
        raw = frame.encode(header.transmitter_id, header.receiver_id, int(message_type), header.message_id,
                           header.data)
        self.say("receives %s  (%s)" % (describe(raw), KorvaPy.KORVA_PUBLIC.resolve_status(status)))
        self.inbox.append(header)

    def listen_until(self, wanted, deadline):
        """Run the listener until a message matching `wanted` arrives."""
        while time.monotonic() < deadline:
            self.poll(0.2)
            for index, header in enumerate(self.inbox):
                if wanted(header):
                    return self.inbox.pop(index)
        raise TimeoutError("node %d gave up waiting" % self.own_id)


def text(data):
    return bytes(data).decode(errors="replace")


def run_asking_side(node, peer):
    deadline = time.monotonic() + DEADLINE_SECONDS
    node.send_shown(peer, HELLO, b"hello 14")
    reply = node.listen_until(lambda h: h.message_id == REPLY, deadline)
    node.say("got reply %r" % text(reply.data))
    public = node.listen_until(lambda h: h.message_id == PUBLIC, deadline)
    node.say("got public write %r addressed to %d" % (text(public.data), public.receiver_id))
    long_message = node.listen_until(lambda h: h.message_id == STREAMED, deadline)
    assert long_message.data == [i & 0xFF for i in range(STREAMED_LENGTH)], "streamed payload damaged"
    node.say("got the %d-byte streamed message intact" % len(long_message.data))
    message = list(b"hello everyone")
    node.write_public(PUBLIC, message, len(message))

    node.request_reserved(peer, frame.VERSION_REQUEST_ID)
    answer = node.listen_until(lambda h: h.message_type == KorvaPy.KV_RESPONSE_EVENT
                               and h.message_id == frame.VERSION_REQUEST_ID, deadline)
    version = int.from_bytes(bytes(answer.data), "little")
    node.say("node %d runs engine version %d" % (peer, version))
    # Both ends of a pseudo-terminal share one set of line settings, so the
    # side that restores them first must know the other has read everything.
    node.send_shown(peer, BYE, b"bye")
    node.listen_until(lambda h: h.message_id == BYE, deadline)
    node.say("link: %s" % node.stats)
    return 0 if version == 100004 else 1


def run_answering_side(node):
    deadline = time.monotonic() + DEADLINE_SECONDS
    hello = node.listen_until(lambda h: h.message_id == HELLO, deadline)
    asker = hello.transmitter_id
    node.say("got %r from node %d" % (text(hello.data), asker))
    node.send_shown(asker, REPLY, b"hello %d" % asker)
    message = list(b"hello everyone")
    node.write_public(PUBLIC, message, len(message))

    node.send_shown(asker, STREAMED, bytes(i & 0xFF for i in range(STREAMED_LENGTH)), frame.INDICATE)

    public = node.listen_until(lambda h: h.message_id == PUBLIC, deadline)
    node.say("got public write %r" % text(public.data))
    node.listen_until(lambda h: h.message_id == BYE, deadline)  # answers the version request meanwhile
    node.send_shown(asker, BYE, b"bye")
    node.say("link: %s" % node.stats)
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
