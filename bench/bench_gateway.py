"""Frames per second through one `korva gateway` process: frames with 64-byte
bodies written into a pseudo-terminal, published by the gateway, counted by
a `mosquitto_sub` that exits after the last one; at QoS 0 and 1, beside the
broker's own rate for messages of the same size and QoS (`mosquitto_pub -l`
into the same kind of subscriber), measured in the same run on the same
broker. The gateway and the broker's own publisher take turns over REPEATS
rounds, so a load on the machine falls on both alike; the table shows the
medians, the ratio being the median of the rounds' ratios. Every program
is started here on 127.0.0.1 and stopped by its pid.

Usage: bench_gateway.py (with the modules on PYTHONPATH)"""

import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from korva import frame
from korva.gateway.payloads import frame_payload
from korva.wire import Event

FRAMES = 20000
BODY = 64
GOAL = 5000  # frames/s per gateway process: 30 saturated links at 115200 baud
BROKER_SHARE_GOAL = 0.5  # of the broker's own QoS 0 rate
REPEATS = 3
IN_FLIGHT = 100  # QoS 1 messages in flight, as tools/mosquitto/korva.conf allows
WAIT = 60.0  # seconds a run may take before it counts as stalled
TOPIC = "korva/bench/line/frame/#"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.05)
    raise RuntimeError("nothing listens on port %d" % port)


def stop(process):
    if process.poll() is None:
        os.kill(process.pid, signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            process.wait()


def subscriber(port, qos, count):
    """A mosquitto_sub that exits once it has `count` frames; started and
    given time to subscribe."""
    process = subprocess.Popen(["mosquitto_sub", "-p", str(port), "-t", TOPIC, "-q", str(qos), "-C", str(count),
                                "-W", str(int(WAIT)), "-F", "x"], stdout=subprocess.PIPE)
    time.sleep(0.5)  # mosquitto_sub says nothing once subscribed
    return process


def finish(process, started):
    """(frames per second, frames lost) once the subscriber `process` got
    them all, or gave up waiting."""
    got = process.stdout.read().count(b"\n")  # one line a message, until it exits
    elapsed = time.monotonic() - started
    process.wait()
    return got / elapsed, FRAMES - got


def broker_rate(port, qos):
    """The broker's own rate for messages like the gateway's."""
    sample = frame.encode(3, 1, frame.WRITE, 5, bytes(BODY))
    lines = (frame_payload(Event(time.time(), sample, frame.decode(sample)), FRAMES) + b"\n") * FRAMES
    receiver = subscriber(port, qos, FRAMES)
    started = time.monotonic()
    subprocess.run(["mosquitto_pub", "-p", str(port), "-t", "korva/bench/line/frame/1/3/write/5", "-q", str(qos),
                    "-l"], input=lines, check=True, timeout=WAIT)
    return finish(receiver, started)


def gateway_rate(port, qos):
    """Frames per second from a pty, through a gateway, to a subscriber."""
    main, other = os.openpty()
    gateway = subprocess.Popen([sys.executable, "-m", "korva", "gateway", "--broker", "mqtt://127.0.0.1:%d" % port,
                                "--name", "bench", "--id", "1", "--link", "line=" + os.ttyname(other),
                                "--qos", str(qos), "--buffer", str(FRAMES)], stderr=subprocess.PIPE)
    try:
        gateway.stderr.readline()  # "serving ...": the line is open
        receiver = subscriber(port, qos, FRAMES)
        frames = b"".join(frame.encode(3, 1, frame.WRITE, index % 60, bytes([index & 0xFF]) * BODY)
                          for index in range(FRAMES))
        started = time.monotonic()
        while frames:  # the pty takes them as fast as the gateway reads
            frames = frames[os.write(main, frames):]
        return finish(receiver, started)
    finally:
        stop(gateway)
        os.close(main)
        os.close(other)


def main():
    if not shutil.which("mosquitto"):
        print("mosquitto is not installed: no gateway row")
        return
    with tempfile.TemporaryDirectory() as folder:
        port = free_port()
        config = os.path.join(folder, "mosquitto.conf")
        with open(config, "w") as file:
            # No subscriber may be cut short (the default queue of 1000 would
            # drop frames), and QoS 1 gets the window of tools/mosquitto/korva.conf.
            file.write("listener %d 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n"
                       "max_inflight_messages %d\npersistence false\n" % (port, IN_FLIGHT))
        broker = subprocess.Popen(["mosquitto", "-c", config], stderr=subprocess.DEVNULL)
        try:
            wait_for_port(port)
            print("%-4s %14s %9s %13s %9s" % ("qos", "gateway fr/s", "lost", "broker msg/s", "gw/broker"))
            for qos in (0, 1):
                gateway, lost, own = [], 0, []
                for _ in range(REPEATS):
                    rate, missing = gateway_rate(port, qos)
                    gateway.append(rate)
                    lost += missing
                    own.append(broker_rate(port, qos)[0])
                ratio = statistics.median(mine / theirs for mine, theirs in zip(gateway, own))
                print("%-4d %14.0f %9d %13.0f %8.2fx" % (qos, statistics.median(gateway), lost,
                                                         statistics.median(own), ratio))
        finally:
            stop(broker)
    print("medians of %d rounds, the gateway and the broker taking turns; lost: frames missing over all rounds.\n"
          "goals: at least %d frames/s through one gateway process (%d frames, %d-byte bodies, pty to "
          "mosquitto_sub), and at QoS 0 at least %.1fx the broker's own rate"
          % (REPEATS, GOAL, FRAMES, BODY, BROKER_SHARE_GOAL))


if __name__ == "__main__":
    main()
