"""A scripted node for the dashboard test: on the tty given, as node
PEER_ID, it answers every request with its body reversed and sends an
indicate to GATEWAY_ID every PERIOD seconds, its body a counter. Runs until
it is killed.

usage: peer.py TTY
"""

import sys
import time

from korva import frame, open_node
from korva.messages import Message

PEER_ID = 3
GATEWAY_ID = 14
TICK_ID = 5
PERIOD = 0.2


def main(tty):
    with open_node(tty, PEER_ID) as node:
        def answer(message_type, status, header):
            message = Message.from_header(message_type, status, header)
            if message.message_type == frame.REQUEST and message.ok:
                node.respond(message, message.data[::-1])

        node.on_message = answer
        node.start_polling()
        print("peer %d on %s" % (PEER_ID, tty), flush=True)
        tick = 0
        while True:
            time.sleep(PERIOD)
            node.send(frame.INDICATE, GATEWAY_ID, TICK_ID, tick.to_bytes(4, "big"))
            tick += 1


if __name__ == "__main__":
    main(*sys.argv[1:])
