"""A scripted node for the dashboard test: on the tty given, as node
PEER_ID, it answers every request with its body reversed, prints every
write it gets ("peer got write ID HEX"), and sends an indicate to
GATEWAY_ID every PERIOD seconds: the `tick` of tests/dashboard/bench.toml
(a counter, a temperature and a mode), packed here by hand. Every
DAMAGED_EVERY-th indicate goes out with its checksum broken. Runs until it
is killed.

usage: peer.py TTY
"""

import os
import struct
import sys
import time

from korva import frame, open_node
from korva.messages import Message

PEER_ID = 3
GATEWAY_ID = 14
TICK_ID = 5
PERIOD = 0.2
DAMAGED_EVERY = 10
TICK = struct.Struct("<IhB")  # count, temperature in tenths of a degree, mode
RUN = 1


def damaged_indicate(body):
    """An indicate whose checksum's low byte is flipped. The engine will
    not send a bad frame, so it is written past the node."""
    raw = bytearray(frame.encode(PEER_ID, GATEWAY_ID, frame.INDICATE, TICK_ID, body))
    raw[-2] ^= 0xFF
    return bytes(raw)


def main(tty):
    with open_node(tty, PEER_ID) as node:
        def answer(message_type, status, header):
            message = Message.from_header(message_type, status, header)
            if message.message_type == frame.REQUEST and message.ok:
                node.respond(message, message.data[::-1])
            elif message.message_type == frame.WRITE:
                print("peer got write %d %s" % (message.message_id, message.data.hex()), flush=True)

        node.on_message = answer
        node.start_polling()
        raw_line = os.open(tty, os.O_WRONLY | os.O_NOCTTY)
        print("peer %d on %s" % (PEER_ID, tty), flush=True)
        tick = 0
        while True:
            time.sleep(PERIOD)
            body = TICK.pack(tick, 200 + tick % 50, RUN)
            if tick % DAMAGED_EVERY == DAMAGED_EVERY - 1:
                os.write(raw_line, damaged_indicate(body))
            else:
                node.send(frame.INDICATE, GATEWAY_ID, TICK_ID, body)
            tick += 1


if __name__ == "__main__":
    main(*sys.argv[1:])
