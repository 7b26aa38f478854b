"""`korva dashboard`: the page's files served on 127.0.0.1, the broker's URL
handed on in the start page's address, bad brokers and missing files refused."""

import http.client
import os
import re
import subprocess
import sys
import tempfile
import unittest

from korva import dashboard

from korva_links import wait_until
from korva_servers import free_port

BROKER = "ws://127.0.0.1:9001"
ANNOUNCE = re.compile(rb"dashboard at http://127\.0\.0\.1:(\d+)/ for broker ")


class ServedPage(unittest.TestCase):
    """One server for the whole class, stopped by its pid."""

    @classmethod
    def setUpClass(cls):
        cls.server = subprocess.Popen([sys.executable, "-m", "korva", "dashboard", "--broker", BROKER, "--listen", "0"],
                                      stderr=subprocess.PIPE)
        os.set_blocking(cls.server.stderr.fileno(), False)
        cls.said = b""

        def announced():
            cls.said += cls.server.stderr.read() or b""
            return ANNOUNCE.search(cls.said) or cls.server.poll() is not None

        wait_until(announced, timeout=10.0)
        found = ANNOUNCE.search(cls.said)
        if found is None:
            cls.tearDownClass()
            raise AssertionError("the server did not announce itself: %r" % cls.said)
        cls.port = int(found.group(1))

    @classmethod
    def tearDownClass(cls):
        if cls.server.poll() is None:
            cls.server.terminate()
            cls.server.wait(10)
        cls.server.stderr.close()

    def get(self, path):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
        try:
            connection.request("GET", path)
            response = connection.getresponse()
            return response.status, response.getheader("Content-Type"), response.getheader("Location"), response.read()
        finally:
            connection.close()

    def test_the_bare_address_sends_the_browser_to_the_page_with_its_broker(self):
        status, _, location, _ = self.get("/")
        self.assertEqual((status, location), (302, "/?broker=ws%3A%2F%2F127.0.0.1%3A9001"))
        status, kind, _, body = self.get(location)
        self.assertEqual((status, kind), (200, "text/html"))
        self.assertIn(b'<script type="module" src="dashboard.js">', body)

    def test_what_is_not_the_page_is_not_found(self):
        for path in ("/nothing.js", "/../dashboard.py", "/vendor/"):
            with self.subTest(path=path):
                self.assertIn(self.get(path)[0], (403, 404))


class Refusals(unittest.TestCase):
    """What the command refuses before serving anything."""

    def test_brokers_the_browser_cannot_reach_are_usage_errors(self):
        for broker in ("mqtt://127.0.0.1:1883", "ws://127.0.0.1", "127.0.0.1:9001", "ws://:9001", "ws://h:99999"):
            with self.subTest(broker=broker):
                run = subprocess.run([sys.executable, "-m", "korva", "dashboard", "--broker", broker, "--listen",
                                      str(free_port())], capture_output=True, timeout=30)
                self.assertEqual(run.returncode, 2)
                self.assertIn(b"ws://HOST:PORT", run.stderr)

    def test_missing_files_are_named_before_anything_is_served(self):
        with tempfile.TemporaryDirectory() as root:
            self.assertEqual(dashboard.missing_files(root), ["index.html"])
            with open(os.path.join(root, "index.html"), "w") as page:
                page.write('<link rel="icon" href="data:,"><script src="vendor/mqtt.min.js"></script>'
                           '<script type="module" src="here.js"></script>')
            open(os.path.join(root, "here.js"), "w").close()
            self.assertEqual(dashboard.missing_files(root), ["vendor/mqtt.min.js"])
            with self.assertRaisesRegex(FileNotFoundError, "vendor/mqtt.min.js"):
                dashboard.serve(BROKER, free_port(), root)


if __name__ == "__main__":
    unittest.main()
