"""Reopening a dropped line: the back-off, and the thread that retries."""

import itertools
import threading
import unittest

from korva import reconnect


class BackoffTest(unittest.TestCase):
    def test_the_wait_doubles_from_50_ms_up_to_2_s_and_stays(self):
        self.assertEqual(list(itertools.islice(reconnect.backoff(), 9)),
                         [0.05, 0.1, 0.2, 0.4, 0.8, 1.6, 2.0, 2.0, 2.0])


class ReconnectorTest(unittest.TestCase):
    def test_retries_until_the_line_opens_then_says_so_once(self):
        attempts, reopened = [], threading.Event()

        def reopen():
            attempts.append(True)
            if len(attempts) < 3:
                raise OSError(2, "no such device")

        reconnector = reconnect.Reconnector(reopen, reopened.set)
        self.addCleanup(reconnector.stop)
        reconnector.start()
        self.assertTrue(reopened.wait(10), "the line was never reopened")
        self.assertEqual(len(attempts), 3)
        self.assertEqual(reconnector.last_error.errno, 2)

    def test_stop_ends_the_retries(self):
        attempts = []

        def reopen():
            attempts.append(True)
            raise OSError(2, "no such device")

        reconnector = reconnect.Reconnector(reopen, lambda: self.fail("reopened"))
        reconnector.start()
        reconnector.stop()  # waits for the thread
        count = len(attempts)
        threading.Event().wait(0.2)
        self.assertEqual(len(attempts), count, "no attempt after stop")


if __name__ == "__main__":
    unittest.main()
