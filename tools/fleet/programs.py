"""The programs a fleet run starts: each one's pid kept, its output in a log
file of the run, and every one stopped by its pid when the run ends,
whether it ends well, on an error or on Ctrl-C."""

import os
import signal
import subprocess
import sys
import time

__all__ = ["STOP_WAIT", "Programs", "environment", "stop", "wait_until"]

STOP_WAIT = 10.0  # seconds a program has to end after SIGTERM before it is killed
_POLL = 0.05


def wait_until(condition, timeout):
    """Whether `condition()` came true within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() >= deadline:
            return False
        time.sleep(_POLL)
    return True


def environment(program):
    """The environment of `program`. A sanitizer runtime preloaded for the
    tests belongs to the interpreters they start, which load the
    instrumented modules, and to no other program."""
    if program == sys.executable:
        return dict(os.environ)
    return {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}


def stop(process, sig, wait):
    """Stop the Popen `process` by its pid with `sig`, killed if it has not
    ended `wait` seconds later; its exit status."""
    if process.poll() is None:
        os.kill(process.pid, sig)
        try:
            process.wait(wait)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            process.wait(wait)
    return process.returncode


class Programs:
    """The running programs of one run, logging into `folder`. Use as a
    context manager: everything still running is stopped on the way out."""

    def __init__(self, folder):
        self.folder = folder
        self._running = []

    def start(self, name, args, stdin=None, stdout=None):
        """Start `args`, its stderr (and stdout unless given) into
        `name`.log; the Popen."""
        log = open(os.path.join(self.folder, name + ".log"), "ab")
        try:
            process = subprocess.Popen(args, stdin=stdin, stdout=log if stdout is None else stdout, stderr=log,
                                       env=environment(args[0]))
        finally:
            log.close()
        self._running.append(process)
        return process

    def log(self, name):
        """The last lines `name` wrote."""
        try:
            with open(os.path.join(self.folder, name + ".log"), errors="replace") as file:
                return "".join(file.readlines()[-5:])
        except FileNotFoundError:
            return ""

    def stop(self, process, sig=signal.SIGTERM):
        """Stop `process` by its pid with `sig` (killed if it does not end in time)."""
        stop(process, sig, STOP_WAIT)
        if process in self._running:
            self._running.remove(process)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        for process in reversed(list(self._running)):
            self.stop(process)
