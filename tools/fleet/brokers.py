"""mosquitto brokers for a fleet on this machine: the configurations of
tools/mosquitto as they are but for where things are (a listener on
127.0.0.1 and a free port, files in the run's folder, the bridge's address
and login), with access lists and passwords for the fleet's own users."""

import os
import pwd
import signal
import socket
import subprocess

from programs import wait_until

__all__ = ["EXAMPLES", "Broker", "central_acl", "edge_acl", "example_configuration", "free_port", "listening",
           "write_passwords"]

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "mosquitto")
START_WAIT = 10.0  # seconds a broker may take to listen on a loaded machine


def free_port():
    """A TCP port nothing listens on at 127.0.0.1 now."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(port):
    """Whether a server listens on 127.0.0.1:`port`, from the kernel's table
    (a probe connection would count as a client)."""
    with open("/proc/net/tcp") as table:
        rows = [line.split() for line in table.readlines()[1:]]
    return any(row[1] == "0100007F:%04X" % port and row[3] == "0A" for row in rows)


def example_configuration(example, values):
    """The text of tools/mosquitto/`example` with the directives of `values`
    ({name: value}, each one the example must have) given those values; an
    access list not given is the example's own file. It runs as whoever
    starts it: started by root, mosquitto would become user "mosquitto",
    who cannot read a private folder."""
    with open(os.path.join(EXAMPLES, example)) as file:
        lines = file.read().splitlines()
    unused = set(values)
    for index, line in enumerate(lines):
        name = line.split(" ", 1)[0]
        if name in values:
            lines[index] = "%s %s" % (name, values[name])
            unused.discard(name)
        elif name == "acl_file":
            lines[index] = "acl_file " + os.path.abspath(os.path.join(EXAMPLES, os.path.basename(line.split()[1])))
    if unused:
        raise RuntimeError("%s has no %s" % (example, ", ".join(sorted(unused))))
    return "user %s\n" % pwd.getpwuid(os.getuid()).pw_name + "\n".join(lines) + "\n"


def write_passwords(path, passwords):
    """A mosquitto password file at `path` for `passwords` ({user: password})."""
    with open(path, "w") as file:
        file.writelines("%s:%s\n" % pair for pair in passwords.items())
    subprocess.run(["mosquitto_passwd", "-U", path], check=True, stdout=subprocess.DEVNULL, timeout=START_WAIT)


def edge_acl(gateways):
    """A site broker's access list (as edge.acl) for `gateways`, names."""
    return "".join("user %s\ntopic write korva/%s/#\ntopic read korva/%s/+/send/#\ntopic write korva-reply/#\n\n"
                   % (name, name, name) for name in gateways)


def central_acl(sites, reader):
    """The central broker's access list (as central.acl) for `sites`
    ({site user: its gateways' names}) and a `reader` of everything."""
    text = ""
    for site, gateways in sites.items():
        text += "user %s\ntopic write korva-reply/#\n" % site
        text += "".join("topic write korva/%s/#\ntopic read korva/%s/+/send/#\n" % (name, name) for name in gateways)
        text += "\n"
    return text + "user %s\ntopic read korva/#\n" % reader


class Broker:
    """mosquitto with the example configuration `example` and `values` over
    it, in its own folder `folder` (its persistence too), run by `programs`
    (a programs.Programs) under `name`."""

    def __init__(self, programs, name, example, folder, values):
        self.name = name
        self.port = free_port()
        self._programs = programs
        self._process = None
        os.makedirs(folder, exist_ok=True)
        self._config = os.path.join(folder, "mosquitto.conf")
        values = {"listener": "%d 127.0.0.1" % self.port, "persistence_location": folder + "/", **values}
        with open(self._config, "w") as file:
            file.write(example_configuration(example, values))

    @property
    def pid(self):
        """The running broker's process id."""
        return self._process.pid

    def start(self):
        """Start it (again, with what it saved) and wait until it listens."""
        self._process = self._programs.start(self.name, ["mosquitto", "-c", self._config])
        if not wait_until(lambda: listening(self.port) or self._process.poll() is not None, START_WAIT) \
                or self._process.poll() is not None:
            raise RuntimeError("%s does not listen on port %d: %s" % (self.name, self.port,
                                                                       self._programs.log(self.name)))

    def kill(self):
        """Kill it as a crash would: nothing saved since its last autosave."""
        self._programs.stop(self._process, signal.SIGKILL)
