"""Frames per second through KorvaPy objects joined by an in-memory
loop-back, against a pure-Python framer of the same wire format (what a
user would otherwise write), measured side by side in one run."""

import time

import KorvaPy
from korva_serial import crc16 as crc16_bitwise  # bit by bit, as the wire format defines it

PAYLOADS = (16, 64, 255)
FRAMES = 2000
ROUNDS = 3
SPEEDUP_GOAL_AT_64 = 10.0


class LoopNode(KorvaPy.KORVA_PUBLIC):
    """A node that writes into its peer's inbox and counts hook calls."""

    def __init__(self, node_id):
        super().__init__(node_id)
        self.inbox = bytearray()
        self.peer = None
        self.delivered = 0
        self.hook_calls = 0

    def __write__(self, buffer, length):
        self.hook_calls += 1
        self.peer.inbox += bytes(buffer)
        return KorvaPy.KORVA_STATUS_SUCCESS

    def __read__(self, length):
        self.hook_calls += 1
        pair = KorvaPy.Korva_Pair()
        pair.vec = self.inbox[:length]
        del self.inbox[:length]
        pair.status = KorvaPy.KORVA_STATUS_SUCCESS
        return pair

    def __available__(self):
        self.hook_calls += 1
        return len(self.inbox)

    def __rx_callback__(self, message_type, status, header):
        self.hook_calls += 1
        self.delivered += status == KorvaPy.KORVA_STATUS_SUCCESS


def _crc_table():
    table = []
    for index in range(256):
        crc = index << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
        table.append(crc)
    return table


CRC_TABLE = _crc_table()


def crc16_table(data, crc=0xFFFF):
    """CRC-16/CMS with a 256-entry table: the fastest plain-Python variant."""
    for byte in data:
        crc = ((crc << 8) & 0xFFFF) ^ CRC_TABLE[(crc >> 8) ^ byte]
    return crc


class PythonFramer:
    """The same frames, composed and parsed in plain Python."""

    def __init__(self, own_id, crc):
        self.own_id = own_id
        self.crc = crc
        self.inbox = bytearray()
        self.delivered = 0

    def write(self, peer, receiver_id, message_id, payload):
        frame = bytearray((0xFB, len(payload), (self.own_id << 4) | (receiver_id & 0x0F), message_id << 2))
        frame += payload
        crc = self.crc(frame)
        frame += bytes((crc >> 8, crc & 0xFF, 0xBF))
        peer.inbox += frame

    def listen(self):
        inbox = self.inbox
        start = inbox.find(0xFB)
        if start < 0 or len(inbox) - start < 7:
            return
        length = inbox[start + 1]
        end = start + length + 7
        frame = inbox[start:end]
        del inbox[:end]
        if frame[-1] != 0xBF or frame[2] & 0x0F not in (self.own_id, 15):
            return
        if self.crc(frame[:-3]) == (frame[-3] << 8) | frame[-2]:
            self.delivered += 1


def best_rate(run):
    best = 0.0
    for _ in range(ROUNDS):
        started = time.perf_counter()
        run()
        best = max(best, FRAMES / (time.perf_counter() - started))
    return best


def korva_rate(payload):
    sender, receiver = LoopNode(14), LoopNode(3)
    sender.peer, receiver.peer = receiver, sender
    data = list(range(len(payload)))

    def run():
        for _ in range(FRAMES):
            sender.write(3, 5, data, len(data))
            receiver.listener()

    rate = best_rate(run)
    assert receiver.delivered == FRAMES * ROUNDS, receiver.delivered
    hooks_per_frame = (sender.hook_calls + receiver.hook_calls) / receiver.delivered
    return rate, hooks_per_frame


def framer_rate(payload, crc):
    sender, receiver = PythonFramer(14, crc), PythonFramer(3, crc)

    def run():
        for _ in range(FRAMES):
            sender.write(receiver, 3, 5, payload)
            receiver.listen()

    rate = best_rate(run)
    assert receiver.delivered == FRAMES * ROUNDS, receiver.delivered
    return rate


def main():
    assert crc16_bitwise(b"123456789") == crc16_table(b"123456789") == 0xAEE7
    print("%-8s %14s %16s %14s %9s %9s %12s" % ("payload", "KorvaPy fr/s", "py bitwise fr/s",
                                                 "py table fr/s", "x bitwise", "x table", "hooks/frame"))
    for size in PAYLOADS:
        payload = bytes(range(size))
        korva, hooks = korva_rate(payload)
        bitwise = framer_rate(payload, crc16_bitwise)
        table = framer_rate(payload, crc16_table)
        print("%-8d %14.0f %16.0f %14.0f %8.1fx %8.1fx %12.1f"
              % (size, korva, bitwise, table, korva / bitwise, korva / table, hooks))
    print("goal: KorvaPy at least %.0fx the pure-Python framer at 64 bytes" % SPEEDUP_GOAL_AT_64)


if __name__ == "__main__":
    main()
