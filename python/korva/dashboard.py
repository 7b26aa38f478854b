"""Serving the fleet dashboard: the page's files on 127.0.0.1 with the
standard library's HTTP server, the broker's websocket URL handed to the
page in the query string of its address.

The page's files ship inside the package, in the `web` folder beside this
module (the build copies them there from tools/dashboard and its npm
libraries), so an installed package serves the same page as the build tree.
"""

import http.server
import os
import re
import sys
import urllib.parse

from .addresses import host_and_port

__all__ = ["DEFAULT_PORT", "WEB_ROOT", "check_broker", "missing_files", "serve"]

DEFAULT_PORT = 8080
WEB_ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "web")
_PAGE = "index.html"
_REFERENCE = re.compile(r'(?:src|href)="([^":]+)"')  # files of its own, not data: or other URLs
_BROKER_SCHEMES = ("ws", "wss")


def check_broker(url):
    """The broker URL if the page can reach it (ws:// or wss:// with a host
    and port), else ValueError."""
    # The page's MQTT library takes the path as it is (a broker may serve on /mqtt).
    if host_and_port(url, _BROKER_SCHEMES, any_path=True) is None:
        raise ValueError("the broker must be ws://HOST:PORT or wss://HOST:PORT (MQTT over websockets), not %r"
                         % url)
    return url


def missing_files(root=WEB_ROOT):
    """The page and the files it loads (its scripts, styles and the npm
    libraries) that are not in `root`."""
    page = os.path.join(root, _PAGE)
    if not os.path.isfile(page):
        return [_PAGE]
    with open(page, encoding="utf-8") as file:
        wanted = _REFERENCE.findall(file.read())
    return [name for name in wanted if not os.path.isfile(os.path.join(root, name))]


def _handler(broker, root):
    start_page = "/?" + urllib.parse.urlencode({"broker": broker})

    class Handler(http.server.SimpleHTTPRequestHandler):
        """The page's files; `/` without a query goes to the page with the
        broker's URL filled in."""

        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=root, **kwargs)

        def do_GET(self):
            if self.path == "/":
                self.send_response(http.HTTPStatus.FOUND)
                self.send_header("Location", start_page)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            super().do_GET()

        def list_directory(self, path):
            self.send_error(http.HTTPStatus.NOT_FOUND)  # the page's files, not a file browser

        def end_headers(self):
            # A page from an old build must not outlive a rebuild in the cache.
            self.send_header("Cache-Control", "no-store")
            super().end_headers()

        def log_message(self, format, *args):
            pass  # a page load is a dozen requests; only the server's own lines are worth printing

    return Handler


def serve(broker, port=DEFAULT_PORT, root=WEB_ROOT, announce=sys.stderr):
    """Serve the page on 127.0.0.1:`port` (0: a free port) until interrupted,
    after writing its address to `announce`."""
    missing = missing_files(root)
    if missing:
        raise FileNotFoundError("the page's files are missing from %s: %s; run scripts/install_deps.sh and build "
                                "again" % (root, ", ".join(missing)))
    with http.server.ThreadingHTTPServer(("127.0.0.1", port), _handler(check_broker(broker), root)) as server:
        print("dashboard at http://127.0.0.1:%d/ for broker %s" % (server.server_address[1], broker),
              file=announce, flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass
