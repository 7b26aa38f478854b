"""asyncio nodes over a socat pty pair and over TCP through ser2net: frames
both ways with the loop kept responsive, request and reply, a failed line."""

import asyncio
import os
import signal
import statistics
import tty
import unittest

import KorvaPy
import korva
import korva.aio
from korva import frame
from korva_servers import HAVE_SERVERS, Rig, socat_ptys

SUCCESS = KorvaPy.KORVA_STATUS_SUCCESS
FRAMES = 500       # each way
TICK = 0.005       # the watchdog task's period
# A blocking hook would stall the loop for write_timeout (1 s); a loaded
# machine alone stalls it far less. The lateness measured is printed.
MAX_LATENESS = 0.5


def body(index):
    return bytes([index >> 8, index & 0xFF]) + bytes((index + k) & 0xFF for k in range(index % 50))


async def watchdog(lateness, stop):
    loop = asyncio.get_running_loop()
    while not stop.is_set():
        started = loop.time()
        await asyncio.sleep(TICK)
        lateness.append(loop.time() - started - TICK)


async def take(node, count):
    got = []
    async for message in node:
        got.append(message)
        if len(got) == count:
            return got
    return got


@unittest.skipUnless(HAVE_SERVERS, "socat and ser2net are not installed")
class AioTest(unittest.IsolatedAsyncioTestCase):
    async def exchange(self, one, other):
        """FRAMES each way at once, with a watchdog on the loop."""
        lateness, stop = [], asyncio.Event()
        dog = asyncio.create_task(watchdog(lateness, stop))
        receivers = [asyncio.create_task(take(node, FRAMES)) for node in (one, other)]
        for index in range(FRAMES):
            self.assertEqual(await one.write(other.own_id, 5, body(index)), SUCCESS)
            self.assertEqual(await other.write(one.own_id, 6, body(index)), SUCCESS)
            await asyncio.sleep(0)  # as an application's producer would, between frames
        got_by_one, got_by_other = await asyncio.wait_for(asyncio.gather(*receivers), 30)
        stop.set()
        await dog
        for got, sender, message_id in ((got_by_one, other, 6), (got_by_other, one, 5)):
            self.assertEqual([(m.transmitter_id, m.message_id, m.data, m.ok) for m in got],
                             [(sender.own_id, message_id, body(index), True) for index in range(FRAMES)])
        print("\n%d frames each way; loop lateness median %.2f ms, max %.2f ms over %d ticks"
              % (FRAMES, 1000 * statistics.median(lateness), 1000 * max(lateness), len(lateness)))
        self.assertLess(max(lateness), MAX_LATENESS)

    async def answer_requests(self, node):
        async for message in node:
            if message.message_type == frame.REQUEST:
                await node.respond(message, message.data.upper())

    async def test_pty_pair(self):
        ptys = socat_ptys(self)
        async with await korva.aio.open_node(ptys.a, 1) as one, await korva.aio.open_node(ptys.b, 2) as other:
            await self.exchange(one, other)
            answering = asyncio.create_task(self.answer_requests(other))
            self.assertEqual((await one.request(2, 7, b"ping")).data, b"PING")
            with self.assertRaises(korva.KorvaTimeout):
                await one.request(3, 7, b"nobody", timeout=0.1)
            answering.cancel()
            self.assertEqual(await one.write_public(9, b"all"), SUCCESS)
            self.assertEqual((await other.receive(1.0, message_id=9))[:5], (1, 15, frame.WRITE, 9, b"all"))

    async def test_a_stale_fragment_gives_way_and_unclaimed_responses_count(self):
        ptys = socat_ptys(self)
        peer = os.open(ptys.b, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, peer)
        tty.setraw(peer)
        async with await korva.aio.open_node(ptys.a, 1, inter_byte_gap=0.05) as node:
            # The fragment claims 64 body bytes; only the quiet line's timer can free the frames behind it.
            os.write(peer, b"\xfb\x40" + frame.encode(2, 1, frame.WRITE, 5, b"x")
                     + frame.encode(2, 1, frame.RESPONSE, 6, b"r"))
            self.assertEqual((await node.receive(5.0, message_id=5)).data, b"x")
            self.assertEqual((await node.receive(5.0, message_id=6)).data, b"r")
            stats = node.stats
            self.assertEqual((stats.unmatched_responses, stats.cut_short), (1, 1))

    async def test_tcp_through_ser2net(self):
        rig = Rig().__enter__()
        self.addCleanup(rig.__exit__)
        async with await korva.aio.open_node(rig.url, 1) as net, await korva.aio.open_node(rig.tty, 2) as tty:
            await self.exchange(net, tty)
            answering = asyncio.create_task(self.answer_requests(tty))
            self.assertEqual((await net.request(2, 7, b"over tcp")).data, b"OVER TCP")
            answering.cancel()
            rig.ser2net.stop(signal.SIGKILL)
            with self.assertRaisesRegex(OSError, rig.url):
                await net.request(2, 7, b"gone", timeout=2.0)

    async def test_connect_errors_name_the_target(self):
        with self.assertRaisesRegex(OSError, "cannot connect to tcp://127.0.0.1:9: "):
            await korva.aio.open_node("tcp://127.0.0.1:9", 1)


if __name__ == "__main__":
    unittest.main()
