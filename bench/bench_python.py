"""Frames per second through KorvaPy objects joined by an in-memory
loop-back, against a pure-Python framer of the same wire format (what a
user would otherwise write), measured side by side in one run.

Both sides use the same in-memory port, with the calls a serial library
offers (`write`, `read`, `in_waiting`), so the comparison isolates framing
and checksumming from the link. The machine may be busy with other work:
the sides take turns, one run each per round over REPEATS rounds, and each
ratio is the median of the rounds' ratios."""

import asyncio
import os
import statistics
import time

import KorvaPy
import _korva_link
import korva.aio
from korva.link import LinkNode
from korva.serial import SerialNode

PAYLOADS = (16, 64, 255)
FRAMES = 2000
BATCH = 50  # frames sent before the receiver polls: one read() serves a batch
REPEATS = 5
SPEEDUP_GOAL_AT_64 = 10.0
LINK_GOAL_AT_16 = 4.0


class MemoryPort:
    """One direction of an in-memory serial line."""

    def __init__(self):
        self.buffer = bytearray()

    @property
    def in_waiting(self):
        return len(self.buffer)

    def write(self, data):
        self.buffer += data

    def read(self, count):
        data = self.buffer[:count]
        del self.buffer[:count]
        return data


class LoopNode(KorvaPy.KORVA_PUBLIC):
    """A KorvaPy node on a pair of memory ports; counts its hook calls."""

    def __init__(self, node_id, tx_port, rx_port):
        super().__init__(node_id)
        self.tx_port = tx_port
        self.rx_port = rx_port
        self.delivered = 0
        self.hook_calls = 0

    def __write__(self, buffer, length):
        self.hook_calls += 1
        self.tx_port.write(bytes(buffer))
        return KorvaPy.KORVA_STATUS_SUCCESS

    def __read__(self, length):
        self.hook_calls += 1
        pair = KorvaPy.Korva_Pair()
        pair.vec = self.rx_port.read(length)
        pair.status = KorvaPy.KORVA_STATUS_SUCCESS
        return pair

    def __available__(self):
        self.hook_calls += 1
        return self.rx_port.in_waiting

    def __rx_callback__(self, message_type, status, header):
        self.hook_calls += 1
        self.delivered += status == KorvaPy.KORVA_STATUS_SUCCESS


def crc16_bitwise(data, crc=0xFFFF):
    """Bit by bit, as the wire format defines it."""
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc


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
    """The same frames, composed and parsed in plain Python over a port."""

    def __init__(self, own_id, tx_port, rx_port, crc):
        self.own_id = own_id
        self.tx_port = tx_port
        self.rx_port = rx_port
        self.crc = crc
        self.delivered = 0

    def write(self, receiver_id, message_id, payload):
        frame = bytearray((0xFB, len(payload), (self.own_id << 4) | (receiver_id & 0x0F), message_id << 2))
        frame += payload
        crc = self.crc(frame)
        frame += bytes((crc >> 8, crc & 0xFF, 0xBF))
        self.tx_port.write(frame)

    def listen(self):
        port = self.rx_port
        if port.in_waiting < 4:
            return
        while port.in_waiting and port.read(1) != b"\xfb":
            pass
        header = port.read(3)
        rest = port.read(header[0] + 3)
        if rest[-1:] != b"\xbf" or header[1] & 0x0F not in (self.own_id, 15):
            return
        if self.crc(b"\xfb" + header + rest[:-3]) == (rest[-3] << 8) | rest[-2]:
            self.delivered += 1


def rate_of(run):
    """Frames per second of one call of `run`, which moves FRAMES frames."""
    started = time.perf_counter()
    run()
    return FRAMES / (time.perf_counter() - started)


def taking_turns(runs):
    """Each of `runs` timed once per round over REPEATS rounds, in turn, so
    that a load on the machine falls on every side alike: the rates of
    each, round by round."""
    rates = [[] for _ in runs]
    for _ in range(REPEATS):
        for rates_of_run, run in zip(rates, runs):
            rates_of_run.append(rate_of(run))
    return rates


def median_ratio(mine, theirs):
    return statistics.median(a / b for a, b in zip(mine, theirs))


def korva_run(payload):
    """A run of FRAMES frames between two KorvaPy nodes with Python hooks,
    and the hook calls per frame counted so far."""
    line = MemoryPort()
    sender, receiver = LoopNode(14, line, MemoryPort()), LoopNode(3, MemoryPort(), line)
    data = list(payload)

    def run():
        before = receiver.delivered
        for _ in range(FRAMES):
            sender.write(3, 5, data, len(data))
            receiver.listener()
        assert receiver.delivered == before + FRAMES, receiver.delivered

    return run, lambda: (sender.hook_calls + receiver.hook_calls) / receiver.delivered


def link_run(payload, sender, receiver, carry=None):
    """A run of FRAMES frames between two nodes on the native link core: the
    sender writes a batch, then the receiver takes it in. `carry` moves the
    bytes when the nodes share no line."""
    delivered = []
    receiver.on_message = lambda message_type, status, header: delivered.append(status)
    data = list(payload)

    def run():
        for start in range(0, FRAMES, BATCH):
            for _ in range(BATCH):
                sender.write(3, 5, data, len(data))
            if carry is not None:
                carry()
            while len(delivered) < start + BATCH:
                if receiver.poll(5.0) == KorvaPy.KORVA_STATUS_DEFAULT:
                    raise RuntimeError("the loop-back stalled")
        assert delivered == [KorvaPy.KORVA_STATUS_SUCCESS] * FRAMES
        del delivered[:]

    return run


def memory_link_run(payload):
    sender, receiver = LinkNode(14), LinkNode(3)
    return link_run(payload, sender, receiver, lambda: receiver.feed(sender.take_output()))


def pty_link_rate(payload):
    """The median rate between two SerialNodes on a pseudo-terminal."""
    main, other = os.openpty()
    try:
        with SerialNode(14, main) as sender, SerialNode(3, other) as receiver:
            return statistics.median(taking_turns([link_run(payload, sender, receiver)])[0])
    finally:
        os.close(main)
        os.close(other)


def aio_pty_rate(payload):
    """The median rate between two asyncio nodes on the two ends of a
    pseudo-terminal, in the same batches as the link rows."""
    main, other = os.openpty()
    try:
        return asyncio.run(_aio_rate(payload, os.dup(main), os.ttyname(other)))
    finally:
        os.close(main)
        os.close(other)


async def _aio_rate(payload, main_fd, other_path):
    sender = korva.aio.Node(_korva_link.Line.adopt(main_fd, "pty main"), 14, 0.01)
    async with sender, await korva.aio.open_node(other_path, 3) as receiver:
        rates = []
        for _ in range(REPEATS):
            started = time.perf_counter()
            for _ in range(0, FRAMES, BATCH):
                for _ in range(BATCH):
                    assert await sender.write(3, 5, payload) == KorvaPy.KORVA_STATUS_SUCCESS
                for _ in range(BATCH):
                    assert (await receiver.receive(5.0)).ok
            rates.append(FRAMES / (time.perf_counter() - started))
        return statistics.median(rates)


def framer_run(payload, crc):
    line = MemoryPort()
    sender, receiver = PythonFramer(14, line, MemoryPort(), crc), PythonFramer(3, MemoryPort(), line, crc)

    def run():
        before = receiver.delivered
        for _ in range(FRAMES):
            sender.write(3, 5, payload)
            receiver.listen()
        assert receiver.delivered == before + FRAMES, receiver.delivered

    return run


def main():
    assert crc16_bitwise(b"123456789") == crc16_table(b"123456789") == 0xAEE7
    print("%-8s %13s %13s %13s %13s %15s %13s %9s %9s %9s %12s" % (
        "payload", "KorvaPy fr/s", "link fr/s", "pty fr/s", "aio pty fr/s", "py bitwise fr/s", "py table fr/s",
        "x bitwise", "x table", "link/tbl", "hooks/frame"))
    for size in PAYLOADS:
        payload = bytes(range(size))
        korva_side, hooks = korva_run(payload)
        korva, link, bitwise, table = taking_turns(
            [korva_side, memory_link_run(payload), framer_run(payload, crc16_bitwise),
             framer_run(payload, crc16_table)])
        pty = pty_link_rate(payload)
        aio = aio_pty_rate(payload)
        print("%-8d %13.0f %13.0f %13.0f %13.0f %15.0f %13.0f %8.1fx %8.1fx %8.1fx %12.1f"
              % (size, statistics.median(korva), statistics.median(link), pty, aio, statistics.median(bitwise),
                 statistics.median(table), median_ratio(korva, bitwise), median_ratio(korva, table),
                 median_ratio(link, table), hooks()))
    print("rates are medians of %d rounds in which the four in-memory sides take turns; ratios are medians of "
          "the rounds' ratios.\n"
          "goals: KorvaPy at least %.0fx the pure-Python framer (bitwise CRC, as the wire format defines it) "
          "at 64 bytes; hooks/frame counts both ends of KorvaPy's loop-back.\n"
          "       the native link (two korva.link nodes, %d frames carried in memory per batch) at least %.0fx "
          "the table-driven framer at 16 bytes and ahead of it at every size; pty: two SerialNodes on a "
          "pseudo-terminal, same batches; aio pty: two korva.aio nodes on a pseudo-terminal, same batches."
          % (REPEATS, SPEEDUP_GOAL_AT_64, BATCH, LINK_GOAL_AT_16))


if __name__ == "__main__":
    main()
