"""Bringing a dropped line back: a thread that reopens it with a bounded,
doubling delay between attempts."""

import threading

__all__ = ["FIRST_DELAY", "LONGEST_DELAY", "Reconnector", "backoff"]

FIRST_DELAY = 0.05   # seconds before the first attempt
LONGEST_DELAY = 2.0  # the delay doubles up to this


def backoff():
    """The waits before each attempt, in seconds: FIRST_DELAY, doubling up
    to LONGEST_DELAY, then LONGEST_DELAY for good."""
    delay = FIRST_DELAY
    while True:
        yield delay
        delay = min(delay * 2, LONGEST_DELAY)


class Reconnector:
    """Runs `reopen()` until it succeeds, then `reopened()`; `reopen`
    raises OSError while the line cannot be had."""

    def __init__(self, reopen, reopened):
        self._reopen = reopen
        self._reopened = reopened
        self._stop = threading.Event()
        self._lock = threading.Lock()
        self._wanted = False   # a drop came that no attempt has answered yet
        self._running = False
        self._thread = None
        self.last_error = None

    def start(self):
        """Reopen the line (again, should it drop while being reopened)."""
        with self._lock:
            self._wanted = True
            if self._running:
                return
            self._running = True
            self._stop.clear()
            self._thread = threading.Thread(target=self._run, name="korva reconnect", daemon=True)
            self._thread.start()

    def stop(self):
        """Give up, and wait for the thread to end."""
        self._stop.set()
        thread = self._thread
        if thread is not None and thread is not threading.current_thread():
            thread.join()

    def _run(self):
        while True:
            with self._lock:
                if not self._wanted or self._stop.is_set():
                    self._running = False
                    return
                self._wanted = False
            if self._reopen_with_backoff():
                self._reopened()

    def _reopen_with_backoff(self):
        for delay in backoff():
            if self._stop.wait(delay):
                return False
            try:
                self._reopen()
                return True
            except OSError as error:
                self.last_error = error
