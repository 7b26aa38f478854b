"""Two serial nodes joined through a noisy relay between two pseudo-terminal
pairs: bit flips, dropped bytes and inserted start bytes, each at 1e-3 per
byte, from a fixed seed. No damaged frame may be delivered as intact, and
every frame the noise did not touch must arrive, in order."""

import bisect
import os
import random
import threading
import time
import unittest

import KorvaPy
from korva import frame
from korva.serial import SerialNode
from korva_links import PtyPair

SEED = 20261208
FRAMES = 2000
RATE = 1e-3
SUCCESS = KorvaPy.KORVA_STATUS_SUCCESS


class NoisyRelay(threading.Thread):
    """Copies bytes from one descriptor to another, damaging some, and
    notes which frames (by the sender's byte offsets) the noise touched."""

    def __init__(self, source, sink, frame_ends, seed):
        super().__init__(daemon=True)
        self.source, self.sink = source, sink
        self.frame_ends = frame_ends
        self.random = random.Random(seed)
        self.hit = set()
        self.offset = 0
        self.stop = threading.Event()

    def damage(self, chunk):
        out = bytearray()
        for byte in chunk:
            frame_index = bisect.bisect_right(self.frame_ends, self.offset)
            self.offset += 1
            roll = self.random.random()
            if roll < RATE:  # a start byte out of nowhere, before this byte
                out.append(frame.START)
                self.hit.add(frame_index)
            elif roll < 2 * RATE:  # this byte never arrives
                self.hit.add(frame_index)
                continue
            elif roll < 3 * RATE:  # one of its bits flips
                byte ^= 1 << self.random.randrange(8)
                self.hit.add(frame_index)
            out.append(byte)
        return bytes(out)

    def run(self):
        os.set_blocking(self.source, False)
        while not self.stop.is_set():
            try:
                chunk = os.read(self.source, 4096)
            except BlockingIOError:
                time.sleep(0.001)
                continue
            os.write(self.sink, self.damage(chunk))


class NoisyRelayTest(unittest.TestCase):
    def test_only_frames_hit_by_noise_are_lost_and_none_is_delivered_damaged(self):
        rng = random.Random(SEED)
        payloads = [i.to_bytes(2, "big") + bytes(rng.randrange(256) for _ in range(rng.randrange(40)))
                    for i in range(FRAMES)]
        frame_ends, end = [], 0
        for payload in payloads:
            end += len(payload) + frame.OVERHEAD
            frame_ends.append(end)

        delivered = []
        with PtyPair() as near, PtyPair() as far, \
                SerialNode(3, near.other, write_timeout=10) as sender, \
                SerialNode(14, far.other, inter_byte_gap=0.5,
                           on_message=lambda t, s, h: delivered.append((s, bytes(h.data)))) as receiver:
            relay = NoisyRelay(near.main, far.main, frame_ends, SEED)
            relay.start()
            writer = threading.Thread(target=lambda: [
                sender.write(14, i % 60, list(p), len(p)) for i, p in enumerate(payloads)] and sender.flush(30))
            writer.start()
            quiet_since = time.monotonic()
            deadline = time.monotonic() + 120
            while time.monotonic() < deadline and time.monotonic() - quiet_since < 2.0:
                if receiver.poll(0.1) != KorvaPy.KORVA_STATUS_DEFAULT or writer.is_alive():
                    quiet_since = time.monotonic()
            writer.join(timeout=10)
            relay.stop.set()
            relay.join(timeout=5)
            stats = receiver.stats

        intact = [data for status, data in delivered if status == SUCCESS]
        crc_errors = sum(1 for status, _ in delivered if status == KorvaPy.KORVA_STATUS_CRC_ERROR)
        sequence = [int.from_bytes(data[:2], "big") for data in intact]
        lost = set(range(FRAMES)) - set(sequence)
        print("\n%d frames sent, %d hit by noise; delivered %d intact, %d with CRC_ERROR; lost %d hit, %d not hit"
              % (FRAMES, len(relay.hit), len(intact), crc_errors, len(lost & relay.hit), len(lost - relay.hit)))
        print("receiver link: %s" % stats)

        self.assertEqual([data for data in intact if data not in payloads or
                          payloads[int.from_bytes(data[:2], "big")] != data], [])
        self.assertEqual(sequence, sorted(set(sequence)), "intact frames out of order or twice")
        self.assertEqual(sorted(lost - relay.hit), [])
        self.assertGreater(len(relay.hit), 50, "the noise should have hit something")


if __name__ == "__main__":
    unittest.main()
