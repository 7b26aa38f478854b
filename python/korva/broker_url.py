"""Reaching an MQTT broker from its URL: `mqtt://HOST[:PORT]` in the clear,
`mqtts://HOST[:PORT]` over TLS. Over TLS the broker's certificate must chain
to a trusted authority (those of `cafile`, else the system's) and name HOST,
as a name or an address; a client certificate and key are optional. Nothing
here imports paho, so that a configuration is read without it.
"""

import dataclasses
import os
import socket
import ssl
import threading
import typing
import urllib.parse

from .addresses import host_and_port
from .errors import KorvaError

__all__ = ["DEFAULT_PORTS", "Broker", "BrokerUrlError", "Tls", "add_tls_options", "open_socket", "parse",
           "run_network", "set_up", "tls_context", "why", "why_closed", "why_unanswered"]

DEFAULT_PORTS = {"mqtt": 1883, "mqtts": 8883}


class BrokerUrlError(KorvaError, ValueError):
    """A broker URL, or TLS files, that no connection can be made with."""


@dataclasses.dataclass(frozen=True)
class Tls:
    """What a TLS connection trusts and shows: the authorities' certificates
    (None: the system's) and the client's certificate and key (None: none;
    a key None with a certificate: the key is in the certificate's file)."""

    cafile: typing.Optional[str] = None
    cert: typing.Optional[str] = None
    key: typing.Optional[str] = None


@dataclasses.dataclass(frozen=True)
class Broker:
    """Where a broker is, and whether it is spoken to over TLS (`tls` None: not)."""

    host: str
    port: int
    tls: typing.Optional[Tls] = None

    @property
    def url(self):
        """The broker's URL, as it is shown."""
        host = "[%s]" % self.host if ":" in self.host else self.host
        return "%s://%s:%d" % ("mqtts" if self.tls else "mqtt", host, self.port)


def parse(url, cafile=None, cert=None, key=None):
    """The Broker of `url` with the TLS files given (paths or None), which
    only an mqtts:// URL takes; BrokerUrlError for anything else."""
    parts = urllib.parse.urlsplit(url)
    address = host_and_port(url, tuple(DEFAULT_PORTS), default_port=DEFAULT_PORTS.get(parts.scheme))
    if address is None or parts.query or parts.username is not None:
        raise BrokerUrlError("a broker is mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (TLS), not %r" % url)
    host, port = address
    files = {"cafile": cafile, "cert": cert, "key": key}
    if parts.scheme == "mqtt":
        if any(files.values()):
            raise BrokerUrlError("cafile, cert and key are for a TLS broker (mqtts://), not %s" % url)
        return Broker(host, port)
    if key and not cert:
        raise BrokerUrlError("a client key goes with a client certificate (cert)")
    for name, path in files.items():
        if path and not os.path.isfile(path):
            raise BrokerUrlError("%s: no such file: %s" % (name, path))
    return Broker(host, port, Tls(cafile or None, cert or None, key or None))


def add_tls_options(parser):
    """The TLS files' options of a command, named as mosquitto's clients name them."""
    parser.add_argument("--cafile", metavar="FILE", help="TLS: the authorities trusted (default: the system's)")
    parser.add_argument("--cert", metavar="FILE", help="TLS: this client's certificate, if the broker asks for one")
    parser.add_argument("--key", metavar="FILE", help="TLS: its private key (default: in the --cert file)")


def tls_context(tls):
    """The TLS context of a connection with `tls` (a Tls): the broker's
    certificate required, chained to the authorities trusted, and naming
    the host it was reached by."""
    context = ssl.create_default_context(cafile=tls.cafile)
    if tls.cert:
        context.load_cert_chain(tls.cert, tls.key)
    return context


def open_socket(broker, timeout):
    """A non-blocking socket connected to `broker`, over TLS if its URL
    says so, each step given `timeout` seconds; OSError if it cannot be
    reached or the TLS handshake fails."""
    sock = socket.create_connection((broker.host, broker.port), timeout)
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)  # writes are whole batches already
        if broker.tls is not None:
            sock = tls_context(broker.tls).wrap_socket(sock, server_hostname=broker.host)
        sock.setblocking(False)
    except BaseException:
        sock.close()
        raise
    return sock


def set_up(client, broker):
    """Make the paho client `client` speak TLS to `broker` if its URL says
    so (the certificate required and the broker's name checked in it), and
    leave every write to the thread that drives its loop.

    paho writes a packet on the thread that queued it unless the client
    says a loop will (its on_socket_register_write); a write from another
    thread that ends the connection would close the socket under the
    loop's feet, and one that fails would raise in whatever queued it."""
    client.on_socket_register_write = lambda *_: None  # the loop finds what is queued and writes it
    if broker.tls is None:
        return
    client.tls_set_context(tls_context(broker.tls))


def run_network(client, name, lost):
    """A thread running paho's network loop for `client` until its
    connection ends (without reconnecting: paho's client made with
    reconnect_on_failure False). paho lets an error on a read through (a
    TLS alert: ssl.SSLError) without calling on_disconnect; `lost(error)`
    runs for it instead. The thread writes every packet (see `set_up`),
    woken by paho's own socket pair when another thread queued one."""
    def loop():
        try:
            client.loop_forever()
        except OSError as error:
            lost(error)
    thread = threading.Thread(target=loop, name=name, daemon=True)
    thread.start()
    return thread


def why_closed(broker):
    """One line for a connection to `broker` closed before the broker
    answered the login: what a TLS port does with plain MQTT."""
    hint = "" if broker.tls else " (a TLS port? its URL is then mqtts://)"
    return "%s:%d closed the connection before accepting it%s" % (broker.host, broker.port, hint)


def why_unanswered(broker, seconds):
    """One line for a broker that did not answer the login in `seconds`."""
    return "%s did not answer the login in %g s" % (broker.url, seconds)


def why(error, broker):
    """One line saying why a connection attempt to `broker` failed with
    `error`, an OSError."""
    where = "%s:%d" % (broker.host, broker.port)
    if isinstance(error, ssl.SSLCertVerificationError):
        return "the certificate of %s is not trusted: %s" % (where, error.verify_message)
    if isinstance(error, ConnectionRefusedError):
        return "nothing listens on %s" % where
    if isinstance(error, socket.gaierror):
        return "unknown host %s: %s" % (broker.host, error.strerror)
    if isinstance(error, socket.timeout):
        return "no answer from %s in time" % where
    reason = getattr(error, "reason", None)  # OpenSSL's name of it, on an SSLError from a connection
    if isinstance(error, ssl.SSLError) and reason and "ALERT" in reason:
        return "%s ended the TLS connection: %s" % (where, reason.lower().replace("_", " "))
    if broker.tls is not None and isinstance(error, (ssl.SSLError, ConnectionError)):
        # A plain port and a broker that wants a client certificate both
        # end the handshake; which one it was the error does not say.
        hint = "is it a TLS port?" if broker.tls.cert else "is it a TLS port, and one that needs no client certificate?"
        return "TLS with %s failed (%s): %s" % (where, reason or error.strerror or type(error).__name__, hint)
    return "cannot connect to %s: %s" % (where, error.strerror or error)
