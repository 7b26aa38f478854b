"""A gateway's broker session against brokers that never let it in: it
asks again with a doubling delay, says why once, and stops at once."""

import contextlib
import io
import socket
import threading
import time
import unittest
from unittest import mock

from korva import broker_url
from korva_broker import HAVE_BROKER

if HAVE_BROKER:
    from korva.gateway import session
    from korva.gateway.loop import Loop

RUN_FOR = 3.0     # seconds of attempts watched
STOP_WITHIN = 5.0  # seconds stopping may take, well short of a login's wait


class Listener:
    """A TCP port that takes connections, reads the login and then either
    closes at once (as a TLS port does with plain MQTT) or says nothing."""

    def __init__(self, answer_nothing=False):
        self._answer_nothing = answer_nothing
        self._server = socket.create_server(("127.0.0.1", 0))
        self._held = []
        self.logins = 0
        self.port = self._server.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                connection, _ = self._server.accept()
            except OSError:
                return  # closed
            connection.settimeout(5)
            with contextlib.suppress(OSError):
                if connection.recv(1000):
                    self.logins += 1
            if self._answer_nothing:
                self._held.append(connection)
            else:
                connection.close()

    def close(self):
        self._server.close()
        for connection in self._held:
            connection.close()


@unittest.skipUnless(HAVE_BROKER, "needs paho-mqtt")
class RefusingBrokerTest(unittest.TestCase):
    def session_against(self, listener):
        """A started session against `listener`, the loop it runs on, and what
        it writes to stderr (a StringIO), all stopped in cleanups."""
        self.addCleanup(listener.close)
        loop = Loop(lambda: None, 60.0)
        loop.start()
        self.addCleanup(loop.stop)
        said = io.StringIO()
        redirect = contextlib.redirect_stderr(said)
        redirect.__enter__()
        self.addCleanup(redirect.__exit__, None, None, None)
        broker = broker_url.Broker("127.0.0.1", listener.port)
        link = session.BrokerSession(loop, broker, "gw", "secret", "korva/gw/a", "korva/gw/a/status", b"offline",
                                     on_connected=lambda _: self.fail("connected"), on_lost=lambda: None,
                                     on_message=lambda _: None)
        link.start()
        return link, said

    def stop_promptly(self, link):
        """Stop `link`, which must not wait for the attempt in progress."""
        began = time.monotonic()
        link.stop(b"offline")
        self.assertLess(time.monotonic() - began, STOP_WITHIN)

    def test_a_port_that_closes_every_login_is_asked_again_with_a_doubling_delay(self):
        listener = Listener()
        link, said = self.session_against(listener)
        time.sleep(RUN_FOR)
        self.stop_promptly(link)
        # 50, 100, 200, 400, 800, 1600 ms apart: six logins in 3 s, fewer on
        # a slow machine; without the doubling it is one every 50 ms.
        self.assertIn(listener.logins, range(2, 8))
        broker = broker_url.Broker("127.0.0.1", listener.port)
        self.assertEqual(said.getvalue().splitlines(),
                         ["korva gateway: korva/gw/a: %s" % broker_url.why_closed(broker)])

    def test_a_login_left_unanswered_is_waited_for_then_given_up_and_asked_again(self):
        listener = Listener(answer_nothing=True)
        link, said = self.session_against(listener)
        time.sleep(RUN_FOR)
        self.stop_promptly(link)
        self.assertEqual((listener.logins, said.getvalue()), (1, ""))

        listener = Listener(answer_nothing=True)
        with mock.patch.object(session, "LOGIN_WAIT", 0.5):
            link, said = self.session_against(listener)
            time.sleep(RUN_FOR)
            self.stop_promptly(link)
        broker = broker_url.Broker("127.0.0.1", listener.port)
        self.assertEqual(said.getvalue().splitlines(),
                         ["korva gateway: korva/gw/a: %s" % broker_url.why_unanswered(broker, 0.5)])
        self.assertIn(listener.logins, range(2, 6))


if __name__ == "__main__":
    unittest.main()
