"""The boards' emulators, each with its UART on a pseudo-terminal.

    with Emulator("microbit", "build-firmware/microbit/korva_node.elf") as board:
        node = open_node(board.pty, 3)

An emulator is stopped by its process id in every case: on leaving the
`with` block, on a failed start, and when it does not say where its
terminal is within the start-up time. It stays in the caller's process
group, so that whatever stops the caller's group (CTest on a time-out)
stops it too.
"""

import os
import re
import selectors
import subprocess
import threading
import time

__all__ = ["BOARDS", "Emulator", "EmulatorError"]

START_TIMEOUT = 10.0
STOP_TIMEOUT = 5.0

# Board: how to run an image, and the line that names the terminal.
BOARDS = {
    "lm3s6965evb": (["qemu-system-arm", "-M", "lm3s6965evb"], r"char device redirected to (/dev/pts/\d+)"),
    "microbit": (["qemu-system-arm", "-M", "microbit"], r"char device redirected to (/dev/pts/\d+)"),
    "atmega328p": ([], r"uart0 on (/dev/pts/\d+)"),
}


class EmulatorError(Exception):
    """An emulator that would not start, or stopped on its own."""


class Emulator:
    """One emulator running `image` for `board`. `runner` is the simavr
    program for the AVR board; `monitor` a Unix socket path for QEMU's
    monitor (the footprint report reads memory through it); `extra` more
    arguments for the program."""

    def __init__(self, board, image, runner=None, monitor=None, extra=()):
        command, self._pty_pattern = BOARDS[board]
        if runner is not None:
            self.command = [runner, image, *extra]
        else:
            monitor = "unix:%s,server=on,wait=off" % monitor if monitor else "none"
            self.command = [*command, "-nographic", "-monitor", monitor, "-serial", "pty", "-kernel", image, *extra]
        self.board = board
        self.pty = None
        self._process = None
        self._output = []
        self._reader = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc_info):
        self.stop()

    @property
    def output(self):
        """Everything the emulator printed so far."""
        return "".join(self._output)

    def start(self):
        """Start the emulator and return the path of its terminal."""
        self._process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT)
        try:
            self.pty = self._wait_for_pty()
        except BaseException:
            self.stop()
            raise
        # Keep reading, so that a chatty emulator never blocks on a full pipe.
        self._reader = threading.Thread(target=self._collect, args=(self._process.stdout.fileno(),), daemon=True)
        self._reader.start()
        return self.pty

    def stop(self):
        """Stop the emulator (SIGTERM, then SIGKILL) and return its exit status."""
        process, self._process = self._process, None
        if process is None:
            return None
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(STOP_TIMEOUT)
        if self._reader is not None:
            self._reader.join(STOP_TIMEOUT)
        process.stdout.close()
        return process.returncode

    def _wait_for_pty(self):
        deadline = time.monotonic() + START_TIMEOUT
        pending = b""
        with selectors.DefaultSelector() as selector:
            selector.register(self._process.stdout, selectors.EVENT_READ)
            while time.monotonic() < deadline:
                if not selector.select(max(0.0, deadline - time.monotonic())):
                    continue
                chunk = os.read(self._process.stdout.fileno(), 4096)
                if not chunk:
                    break
                pending += chunk
                self._output.append(chunk.decode(errors="replace"))
                found = re.search(self._pty_pattern, pending.decode(errors="replace"))
                if found:
                    return found.group(1)
        raise EmulatorError("%s did not name its terminal within %g s; it said:\n%s"
                            % (" ".join(self.command), START_TIMEOUT, self.output))

    def _collect(self, fd):
        for chunk in iter(lambda: os.read(fd, 4096), b""):
            self._output.append(chunk.decode(errors="replace"))
