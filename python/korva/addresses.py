"""Network addresses written as URLs, SCHEME://HOST:PORT: line targets
(tcp://), the gateway's broker (mqtt://) and the broker the dashboard's page
reaches (ws://, wss://) are all read here."""

import urllib.parse

__all__ = ["host_and_port", "url"]

_NO_PATH = ("", "/")


def host_and_port(text, schemes, default_port=None, any_path=False):
    """(host, port) of the URL `text` when its scheme is one of `schemes`
    and it names a host and a port (`default_port` when it names none) and,
    unless `any_path`, no path; None otherwise."""
    parts = urllib.parse.urlsplit(text)
    try:
        port = parts.port
    except ValueError:
        return None  # not a number, or beyond 65535
    if port is None:
        port = default_port
    if parts.scheme not in schemes or not parts.hostname or port is None:
        return None
    if not any_path and parts.path not in _NO_PATH:
        return None
    return parts.hostname, port


def url(scheme, host, port):
    """The URL of `host` and `port`, an IPv6 address in brackets."""
    return "%s://%s:%d" % (scheme, "[%s]" % host if ":" in host else host, port)
