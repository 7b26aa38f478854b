"""A mosquitto broker the tests start with their own configuration (the
project's access list, a password file of their own, 127.0.0.1 and a free
port), MQTT v5 clients to watch and command it, and `korva gateway`
processes; each program stopped by its pid."""

import collections
import itertools
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import korva
from korva import frame
from korva_links import wait_until
from korva_servers import Program, free_port, listening, started
import brokers  # the example configurations rewritten, shared with the fleet tool (on the path korva_servers set)
import programs

try:
    import paho.mqtt.client as mqtt
    from paho.mqtt.packettypes import PacketTypes
    from paho.mqtt.properties import Properties
except ImportError:
    mqtt = None

HAVE_BROKER = bool(mqtt and shutil.which("mosquitto") and shutil.which("mosquitto_passwd"))
EXAMPLES = brokers.EXAMPLES
ACL = os.path.join(EXAMPLES, "korva.acl")
PASSWORDS = {"gw1": "gw1-secret", "gw2": "gw2-secret", "operator": "op-secret", "engineer": "eng-secret",
             "viewer": "view-secret", "site1": "site1-secret"}
WAIT = 10.0  # seconds any one thing may take on a loaded machine

Received = collections.namedtuple("Received", "topic payload properties retain")


def _stay_who_started_it():
    # Started by root, mosquitto would become user "mosquitto", who cannot
    # read the test's private folder.
    return "user %s\n" % pwd.getpwuid(os.getuid()).pw_name


class Mosquitto(Program):
    """mosquitto on 127.0.0.1 and a free port, with the project's access
    list and `users` (names from PASSWORDS) in its password file."""

    scheme = "mqtt"

    def __init__(self, folder, users=tuple(PASSWORDS)):
        self.folder = folder
        self.port = free_port()
        self.url = "%s://127.0.0.1:%d" % (self.scheme, self.port)
        self.config = os.path.join(folder, "mosquitto.conf")
        self.passwords = os.path.join(folder, "passwd")
        self.set_users(users)
        with open(self.config, "w") as file:
            file.write(self.configuration())

    def configuration(self):
        """The text of its configuration file."""
        return ("listener %d 127.0.0.1\nallow_anonymous false\npassword_file %s\nacl_file %s\npersistence false\n"
                % (self.port, self.passwords, os.path.abspath(ACL)) + _stay_who_started_it())

    def set_users(self, users):
        """Write the password file for `users`; a running broker reads it
        again (SIGHUP)."""
        if os.path.exists(self.passwords):
            os.remove(self.passwords)
        for index, user in enumerate(users):
            subprocess.run(["mosquitto_passwd"] + (["-c"] if index == 0 else []) + ["-b", self.passwords, user,
                                                                                    PASSWORDS[user]],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=WAIT)
        if self.process is not None and self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGHUP)

    def start(self):
        super().start("mosquitto", "-c", self.config)
        if not wait_until(lambda: listening(self.port), WAIT):
            self.process.kill()
            raise RuntimeError("mosquitto does not listen on port %d: %s" % (self.port, self.process.stderr.read()))


class ExampleBroker(Mosquitto):
    """mosquitto with one of the configurations of tools/mosquitto, `example`,
    as it is but for where things are: its listener on 127.0.0.1 and a free
    port, its files in `folder`, and the directives `settings` ({name:
    value}, each one the example must have) given other values."""

    def __init__(self, folder, example, users=tuple(PASSWORDS), **settings):
        self.example = example
        self.settings = settings
        super().__init__(folder, users)

    def configuration(self):
        return brokers.example_configuration(self.example, {
            "listener": "%d 127.0.0.1" % self.port, "password_file": self.passwords,
            "persistence_location": self.folder + "/", **self.settings})


class TlsMosquitto(Mosquitto):
    """Mosquitto listening for MQTT over TLS only, with the certificate and
    key `server` ((cert, key) paths) and, if `client_ca` is given, asking
    every client for a certificate it signed."""

    scheme = "mqtts"

    def __init__(self, folder, server, client_ca=None, users=tuple(PASSWORDS)):
        self.server = server
        self.client_ca = client_ca
        super().__init__(folder, users)

    def configuration(self):
        tls = "certfile %s\nkeyfile %s\n" % self.server
        if self.client_ca:
            tls += "cafile %s\nrequire_certificate true\n" % self.client_ca
        lines = super().configuration().split("\n", 1)
        return lines[0] + "\n" + tls + lines[1]


class Certificates:
    """A certificate authority made with openssl in `folder`, and what it
    signed: `server` for 127.0.0.1 (an address; no name) and `client`, each
    a (cert, key) pair; `ca` its certificate, `stranger` that of another
    authority that signed nothing here."""

    def __init__(self, folder):
        self.folder = folder
        self.ca = self._authority("ca")
        self.stranger = self._authority("stranger")
        self.server = self._signed("server", "subjectAltName=IP:127.0.0.1")
        self.client = self._signed("client", "extendedKeyUsage=clientAuth")

    def _path(self, name):
        return os.path.join(self.folder, name)

    def _openssl(self, *args):
        subprocess.run(("openssl",) + args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                       timeout=WAIT)

    def _key(self, name):
        return ("-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                self._path(name + ".key"))

    def _authority(self, name):
        self._openssl("req", "-x509", *self._key(name), "-out", self._path(name + ".crt"), "-days", "2",
                      "-subj", "/CN=korva test " + name)
        return self._path(name + ".crt")

    def _signed(self, name, extension):
        extensions = self._path(name + ".ext")
        with open(extensions, "w") as file:
            file.write(extension + "\n")
        self._openssl("req", *self._key(name), "-out", self._path(name + ".csr"), "-subj", "/CN=korva test " + name)
        self._openssl("x509", "-req", "-in", self._path(name + ".csr"), "-CA", self.ca, "-CAkey", self._path("ca.key"),
                      "-CAcreateserial", "-out", self._path(name + ".crt"), "-days", "2", "-extfile", extensions)
        return self._path(name + ".crt"), self._path(name + ".key")


def fleet(url, user, *args, password=None, timeout=60):
    """`python -m korva fleet COMMAND ...` (`args`) against the broker at `url` as `user`
    (None: nobody), with its password from a file (`password` instead of
    the user's own, if given); the CompletedProcess, its output as text."""
    command = [sys.executable, "-m", "korva", "fleet", args[0], "--broker", url] + list(args[1:])
    with tempfile.TemporaryDirectory() as folder:
        if user is not None:
            path = os.path.join(folder, "password")
            with open(path, "w") as file:
                file.write((password or PASSWORDS[user]) + "\n")
            command += ["--user", user, "--password-file", path]
        return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                              timeout=timeout)


class GatewayProcess(Program):
    """`python -m korva gateway` named `name` (a user of PASSWORDS) on the
    broker, serving `links` ({name: target}) as node 1, with `options`."""

    def __init__(self, broker, name, links, *options):
        self.name = name
        self.args = [sys.executable, "-m", "korva", "gateway", "--broker", broker.url, "--name", name,
                     "--password", PASSWORDS[name], "--id", "1"]
        for link, target in links.items():
            self.args += ["--link", "%s=%s" % (link, target)]
        self.args += list(options)

    def start(self):
        super().start(*self.args)

    def stop(self, sig=signal.SIGTERM):
        """Stop it (killed if it does not end in time); its exit status."""
        process = self.process
        if process is None:
            return None
        status = programs.stop(process, sig, WAIT)
        super().stop()
        return status


class Client:
    """An MQTT v5 client of user `user` (from PASSWORDS) that keeps every
    message it receives. Bounded waits throughout; `close` in a cleanup."""

    _numbers = itertools.count()
    SESSION_EXPIRY = 600  # seconds a lasting session outlives its connection

    def __init__(self, broker, user, lasting=False, cafile=None):
        """`lasting`: a session the broker keeps, which the client takes up
        again, quickly, on its own, when the connection is lost."""
        self._changed = threading.Condition()
        self.messages = []
        self._acked = set()
        self._connected = threading.Event()
        self.client = mqtt.Client("test-%s-%d-%d" % (user, os.getpid(), next(self._numbers)), protocol=mqtt.MQTTv5)
        self.client.username_pw_set(user, PASSWORDS[user])
        self.client.on_connect = lambda *args: self._connected.set()
        self.client.on_message = self._received
        self.client.on_subscribe = lambda _client, _userdata, mid, *rest: self._ack(mid)
        if cafile is not None:
            self.client.tls_set(ca_certs=cafile)
        properties = None
        if lasting:
            properties = Properties(PacketTypes.CONNECT)
            properties.SessionExpiryInterval = self.SESSION_EXPIRY
            self.client.reconnect_delay_set(1, 1)
        self.client.connect("127.0.0.1", broker.port, clean_start=not lasting, properties=properties)
        self.client.loop_start()
        if not self._connected.wait(WAIT):
            self.close()
            raise RuntimeError("the broker did not accept %s" % user)

    def _received(self, _client, _userdata, message):
        with self._changed:
            self.messages.append(Received(message.topic, message.payload, message.properties, message.retain))
            self._changed.notify_all()

    def _ack(self, mid):
        with self._changed:
            self._acked.add(mid)
            self._changed.notify_all()

    def subscribe(self, topic, qos=1):
        """Subscribe and wait for the broker's acknowledgement."""
        _, mid = self.client.subscribe(topic, qos)
        if not self.wait_for(lambda: mid in self._acked):
            raise RuntimeError("no SUBACK for %s" % topic)

    def wait_for(self, condition, timeout=WAIT):
        """Whether `condition()` came true (checked as messages come) in time."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while not condition():
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._changed.wait(left)
            return True

    def on(self, prefix):
        """The messages received on topics starting with `prefix`."""
        with self._changed:
            return [message for message in self.messages if message.topic.startswith(prefix)]

    def publish(self, topic, payload, properties=None):
        """Publish at QoS 1 and wait until the broker has it (whether the
        access list let it through or not)."""
        info = self.client.publish(topic, payload, 1, False, properties)
        info.wait_for_publish(WAIT)
        return info

    def request(self, topic, payload, reply_topic, correlation, expiry=None, timeout=WAIT):
        """Publish an MQTT v5 request and wait for its answer on
        `reply_topic` (subscribed first); the answer, or None."""
        properties = Properties(PacketTypes.PUBLISH)
        properties.ResponseTopic = reply_topic
        properties.CorrelationData = correlation
        if expiry is not None:
            properties.MessageExpiryInterval = expiry
        before = len(self.on(reply_topic))
        self.publish(topic, payload, properties)
        if not self.wait_for(lambda: len(self.on(reply_topic)) > before, timeout):
            return None
        return self.on(reply_topic)[before]

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


def korva_status(message):
    """The `korva-status` user property of an answer."""
    return dict(getattr(message.properties, "UserProperty", [])).get("korva-status")


def subscribed(test, broker, user, *topics, **options):
    """A Client of `broker` logged in as `user`, subscribed to `topics` and
    closed when `test` ends."""
    client = Client(broker, user, **options)
    test.addCleanup(client.close)
    for topic in topics:
        client.subscribe(topic)
    return client


def process_errors(gateway):
    """What a gateway process said on stderr, once it has ended."""
    return "running" if gateway.process.poll() is None else gateway.process.stderr.read()


class Peer:
    """The node on the far end of a link, as node `node_id` on `target`: it
    keeps every message it receives and answers each intact request with
    `answer(message)` (None: no answer); by default its body reversed."""

    def __init__(self, target, node_id, answer=lambda message: message.data[::-1]):
        self.target = target
        self.received = []
        self._answer = answer
        self.node = korva.open_node(target, node_id)
        self.node.on_message = self._message
        self.node.start_polling(0.02)

    def _message(self, message_type, status, header):
        message = korva.Message.from_header(message_type, status, header)
        self.received.append(message)
        if message.ok and message.message_type == frame.REQUEST:
            body = self._answer(message)
            if body is not None:
                self.node.respond(message, body)

    def inject(self, raw):
        """Put `raw` on the line as it is, once what the node sent is out."""
        self.node.flush(WAIT)
        fd = os.open(self.target, os.O_WRONLY | os.O_NOCTTY)
        try:
            os.write(fd, raw)
        finally:
            os.close(fd)


def started_broker(test):
    """A started Mosquitto, as `korva_servers.started` gives it."""
    return started(test, Mosquitto)
