"""Real programs the tests run beside the library: a socat pseudo-terminal
pair and ser2net serving one end of it on TCP, each stopped by its pid."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

from korva_links import wait_until

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "fleet"))
import programs  # noqa: E402  (starting and stopping a program, as the fleet tool does)

STOP_WAIT = 10  # seconds a program may take to end before it is killed
HAVE_SERVERS = bool(shutil.which("socat") and shutil.which("ser2net"))


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(port):
    """Whether a server listens on 127.0.0.1:`port`. Read from the kernel's
    table: a probe connection would take a one-client server (ser2net) for
    a moment."""
    with open("/proc/net/tcp") as table:
        rows = [line.split() for line in table.readlines()[1:]]
    return any(row[1] == "0100007F:%04X" % port and row[3] == "0A" for row in rows)


class Program:
    """One child process, started by `start` and stopped by its pid."""

    process = None

    def start(self, *args):
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        env=programs.environment(args[0]))

    def stop(self, sig=signal.SIGTERM):
        """Stop it with `sig`, killed if it has not ended `STOP_WAIT` seconds later."""
        if self.process is not None:
            programs.stop(self.process, sig, STOP_WAIT)
            self.process.stderr.close()
        self.process = None


class SocatPtys(Program):
    """Two linked pseudo-terminals, `a` and `b`, in raw mode."""

    def __init__(self, folder):
        self.a = os.path.join(folder, "a")
        self.b = os.path.join(folder, "b")

    def start(self):
        super().start("socat", "pty,raw,echo=0,link=" + self.a, "pty,raw,echo=0,link=" + self.b)
        if not wait_until(lambda: os.path.exists(self.a) and os.path.exists(self.b)):
            raise RuntimeError("socat made no pseudo-terminals: %s" % self.process.stderr.read1())


def folder_of(test):
    """The path of a folder removed when the test case `test` ends."""
    folder = tempfile.TemporaryDirectory()
    test.addCleanup(folder.cleanup)
    return folder.name


def started(test, program):
    """`program(folder)`, a Program made in a folder of its own, started;
    stopped and its folder removed when the test case `test` ends."""
    running = program(folder_of(test))
    running.start()
    test.addCleanup(running.stop)
    return running


def socat_ptys(test):
    """A started SocatPtys, as `started` gives it."""
    return started(test, SocatPtys)


class Ser2net(Program):
    """ser2net serving `device` raw on 127.0.0.1:`port`."""

    def __init__(self, folder, device):
        self.port = free_port()
        self.url = "tcp://127.0.0.1:%d" % self.port
        self.config = os.path.join(folder, "ser2net.yaml")
        self.pid_file = os.path.join(folder, "ser2net.pid")
        with open(self.config, "w") as file:
            file.write("connection: &korva\n"
                       "  accepter: tcp,127.0.0.1,%d\n"
                       "  connector: serialdev,%s,115200n81,local\n" % (self.port, device))

    def start(self):
        super().start("ser2net", "-n", "-c", self.config, "-P", self.pid_file)
        if not wait_until(self.listening):
            self.process.kill()
            raise RuntimeError("ser2net does not listen on port %d: %s" % (self.port, self.process.stderr.read()))

    def listening(self):
        return listening(self.port)


class Rig:
    """socat's pty pair with ser2net on end `a`: a node on `b` and one on
    `url` are joined. Use as a context manager."""

    def __enter__(self):
        self._folder = tempfile.TemporaryDirectory()
        self.ptys = SocatPtys(self._folder.name)
        self.ser2net = Ser2net(self._folder.name, self.ptys.a)
        try:
            self.ptys.start()
            self.ser2net.start()
        except BaseException:
            self.__exit__()
            raise
        self.tty, self.url = self.ptys.b, self.ser2net.url
        return self

    def __exit__(self, *exc_info):
        self.ser2net.stop()
        self.ptys.stop()
        self._folder.cleanup()
