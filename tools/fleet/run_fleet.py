"""A fleet on this machine, run for a while and reported on.

K `korva gateway` processes with M links each, on pseudo-terminal pairs
whose far ends a scripted peer (peer.py) writes R frames a second into; the
gateways publish to edge brokers (tools/mosquitto/edge.conf, gateways spread
over them), bridged to a central broker (central.conf), where a recorder
(`mosquitto_sub` with a lasting session at QoS 1) takes every frame. Faults:
the central broker killed and restarted (the uplink cut), an edge broker
killed and restarted. The report: frames sent and seen, lost, duplicates,
`seq` gaps, latency from the line to the recorder, and the CPU and
wake-ups the gateway processes spent on it.

Everything listens on 127.0.0.1 and is stopped by its pid at the end.

Usage: run_fleet.py [options]   (korva and its compiled modules on PYTHONPATH)
"""

import argparse
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import time

import brokers
import usage
from programs import Programs, wait_until
from tally import Recording

HERE = os.path.dirname(os.path.abspath(__file__))
READER = "recorder"
SESSION_EXPIRY = 3600  # seconds the central broker keeps the recorder's session while it is away
READY_WAIT = 120.0  # seconds every link may take to show `up` centrally on a loaded machine
PEER_WAIT = 30.0  # seconds the peer may take to open its lines, or to report
QUIET_END = 10.0  # seconds without a new frame after which the recorder has all it will get
SETTLE_WAIT = 300.0  # seconds at most for the last frames to arrive
UPLINK_AT, EDGE_AT = 0.2, 0.55  # when, as a share of the sending time, each fault starts


class FleetError(Exception):
    """The fleet could not be run."""


def _password(user):
    return user + "-fleet"


class Tail:
    """The lines a growing file has gained since last asked."""

    def __init__(self, path):
        self._file = open(path, "rb")
        self._partial = b""

    def lines(self):
        """The complete new lines, as text."""
        data = self._partial + self._file.read()
        complete, _, self._partial = data.rpartition(b"\n")
        return complete.decode().splitlines() if complete else []

    def close(self):
        self._file.close()


class Fleet:
    """The programs of one run, started in `programs` (a programs.Programs)
    and their files in `folder`."""

    def __init__(self, programs, folder, options):
        self.options = options
        self.programs = programs
        self.folder = folder
        self.gateways = ["gw%d" % number for number in range(1, options.gateways + 1)]
        self.sites = {"site%d" % number: self.gateways[number - 1::options.edges]
                      for number in range(1, options.edges + 1)}
        self.links = {gateway: ["l%d" % number for number in range(1, options.links + 1)]
                      for gateway in self.gateways}
        self.central = self._central()
        self.edges = {site: self._edge(site, gateways) for site, gateways in self.sites.items()}
        self.recording_path = os.path.join(folder, "recording.txt")
        self.gateway_processes = []
        self.peer = None
        self.recorder = None

    def _file(self, name, text):
        path = os.path.join(self.folder, name)
        with open(path, "w") as file:
            file.write(text)
        return path

    def _central(self):
        folder = os.path.join(self.folder, "central")
        os.makedirs(folder)
        passwords = os.path.join(folder, "passwd")
        brokers.write_passwords(passwords, {user: _password(user) for user in list(self.sites) + [READER]})
        acl = self._file("central.acl", brokers.central_acl(self.sites, READER))
        return brokers.Broker(self.programs, "central", "central.conf", folder,
                              {"password_file": passwords, "acl_file": acl})

    def _edge(self, site, gateways):
        folder = os.path.join(self.folder, site)
        os.makedirs(folder)
        passwords = os.path.join(folder, "passwd")
        brokers.write_passwords(passwords, {gateway: _password(gateway) for gateway in gateways})
        acl = self._file(site + ".acl", brokers.edge_acl(gateways))
        return brokers.Broker(self.programs, site, "edge.conf", folder,
                              {"password_file": passwords, "acl_file": acl,
                               "address": "127.0.0.1:%d" % self.central.port, "remote_clientid": site,
                               "remote_username": site, "remote_password": _password(site)})

    def start(self):
        """Start every program and wait until every link shows `up` on the
        central broker; the Tail of the recording."""
        self.central.start()
        for edge in self.edges.values():
            edge.start()
        with open(self.recording_path, "wb") as recording:
            self.recorder = self.programs.start("recorder", [
                "mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.central.port), "-u", READER, "-P",
                _password(READER), "-V", "mqttv5", "-q", "1", "-c", "-i", "fleet-" + READER, "-x",
                str(SESSION_EXPIRY), "-t", "korva/#", "-F", "%U %t %p"], stdout=recording)
        paths = self._start_peer()
        for index, gateway in enumerate(self.gateways):
            site = next(name for name, members in self.sites.items() if gateway in members)
            lines = paths[index * self.options.links:(index + 1) * self.options.links]
            self._start_gateway(gateway, self.edges[site], lines)
        return Tail(self.recording_path)

    def _start_peer(self):
        self.peer = self.programs.start(
            "peer", [sys.executable, os.path.join(HERE, "peer.py"), str(self.options.gateways * self.options.links),
                     str(self.options.rate)], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        return json.loads(self._peer_says())

    def _peer_says(self):
        if not select.select([self.peer.stdout], [], [], PEER_WAIT)[0]:
            raise FleetError("the peer said nothing in %d s: %s" % (PEER_WAIT, self.programs.log("peer")))
        line = self.peer.stdout.readline()
        if not line:
            raise FleetError("the peer ended: %s" % self.programs.log("peer"))
        return line

    def _tell_peer(self, command):
        self.peer.stdin.write(command.encode() + b"\n")
        self.peer.stdin.flush()

    def _start_gateway(self, gateway, edge, lines):
        args = [sys.executable, "-m", "korva", "gateway", "--broker", "mqtt://127.0.0.1:%d" % edge.port,
                "--name", gateway, "--password", _password(gateway), "--id", "1"]
        for link, path in zip(self.links[gateway], lines):
            args += ["--link", "%s=%s" % (link, path)]
        self.gateway_processes.append(self.programs.start(gateway, args))

    def wait_ready(self, tail, recording):
        """Wait until the recorder has seen every link `up`."""
        expected = {"%s/%s" % (gateway, link) for gateway, links in self.links.items() for link in links}

        def ready():
            recording.read(tail.lines())
            self._check_gateways()
            return all(recording.statuses.get(link) == "up" for link in expected)
        if not wait_until(ready, READY_WAIT):
            missing = sorted(link for link in expected if recording.statuses.get(link) != "up")
            raise FleetError("%d links not up centrally after %d s (%s ...): %s"
                             % (len(missing), READY_WAIT, ", ".join(missing[:4]), self.programs.log(self.gateways[0])))

    def _check_gateways(self):
        for gateway, process in zip(self.gateways, self.gateway_processes):
            if process.poll() is not None:
                raise FleetError("%s ended with status %s: %s" % (gateway, process.returncode,
                                                                  self.programs.log(gateway)))

    def send(self, faults):
        """Have the peer send for the run's duration while `faults` happen
        ([(start, outage, name)]); frames sent per link, the gateways'
        Usage and the other programs' CPU seconds ({name: seconds}) over it."""
        watched = {"peer": self.peer.pid, "recorder": self.recorder.pid, "central": self.central.pid,
                   **{site: edge.pid for site, edge in self.edges.items()}}
        before = [usage.sample(process.pid) for process in self.gateway_processes]
        others = {name: usage.sample(pid) for name, pid in watched.items()}
        started = time.monotonic()
        self._tell_peer("go")
        for start, outage, name in faults:
            self._sleep_until(started + start)
            self._fault(name, outage)
        self._sleep_until(started + self.options.duration)
        after = [usage.sample(process.pid) for process in self.gateway_processes]
        spent = {name: (usage.sample(pid) - others[name]).cpu for name, pid in watched.items()
                 if not any(fault == name or (fault == "edge" and name in self.edges) for _, _, fault in faults)}
        self._tell_peer("stop")
        sent = json.loads(self._peer_says())["sent"]
        self._check_gateways()
        names = ["%s/%s" % (gateway, link) for gateway in self.gateways for link in self.links[gateway]]
        total = sum((later - earlier for later, earlier in zip(after, before)), usage.Usage(0.0, 0))
        return dict(zip(names, sent)), total, spent

    def _sleep_until(self, moment):
        while time.monotonic() < moment:
            self._check_gateways()
            time.sleep(min(1.0, max(moment - time.monotonic(), 0.0)))

    def _fault(self, name, outage):
        broker = self.central if name == "central" else next(iter(self.edges.values()))
        broker.kill()
        time.sleep(outage)
        broker.start()

    def settle(self, tail, recording, sent):
        """Read the recording until every frame sent arrived, or none came
        for a while."""
        total = sum(sent.values())
        deadline = time.monotonic() + SETTLE_WAIT
        quiet_since, seen = time.monotonic(), -1
        while time.monotonic() < deadline:
            recording.read(tail.lines())
            now_seen = sum(len(tally.first_seen) for tally in recording.links.values())
            if now_seen >= total:
                return
            if now_seen != seen:
                quiet_since, seen = time.monotonic(), now_seen
            elif time.monotonic() - quiet_since > QUIET_END:
                return
            time.sleep(0.5)


def _faults(options):
    faults = []
    if options.cut_uplink:
        faults.append((options.duration * UPLINK_AT, options.cut_uplink, "central"))
    if options.kill_edge:
        faults.append((options.duration * EDGE_AT, options.kill_edge, "edge"))
    for index, (start, outage, name) in enumerate(faults):
        end = faults[index + 1][0] if index + 1 < len(faults) else options.duration
        if start + outage >= end:
            raise FleetError("the %s outage of %g s does not end before %g s into the run: run longer"
                             % (name, outage, end))
    return faults


def run(options):
    """Run the fleet of `options`; its report, a dict."""
    faults = _faults(options)
    with tempfile.TemporaryDirectory(prefix="korva-fleet-") as folder, Programs(folder) as programs:
        fleet = Fleet(programs, folder, options)
        tail = fleet.start()
        recording = Recording()
        try:
            fleet.wait_ready(tail, recording)
            sent, gateways, others = fleet.send(faults)
            fleet.settle(tail, recording, sent)
            fleet.peer.stdin.close()  # it may close its lines now
        finally:
            tail.close()
    links = options.gateways * options.links
    frames = recording.summary(sent)
    by_gateway = {gateway: recording.summary({name: count for name, count in sent.items()
                                              if name.startswith(gateway + "/")}) for gateway in fleet.gateways}
    window = options.duration
    return {"gateways": options.gateways, "links_per_gateway": options.links, "rate": options.rate,
            "edges": options.edges, "duration": window,
            "faults": [{"broker": name, "at_s": round(start, 1), "down_s": outage} for start, outage, name in faults],
            "frames": frames, "by_gateway": by_gateway, "unknown_links": recording.unknown_links(sent),
            "gateway_cpu": {"total_percent": 100 * gateways.cpu / window,
                            "per_link_percent": 100 * gateways.cpu / window / links,
                            "per_frame_ms": 1000 * gateways.cpu / max(frames["sent"], 1),
                            "wakeups_per_frame": gateways.switches / max(frames["sent"], 1)},
            "other_cpu_percent": {name: 100 * seconds / window for name, seconds in others.items()}}


def _ms(value):
    return "-" if value is None else "%.1f" % value


def describe(report):
    """The report as text."""
    frames, cpu = report["frames"], report["gateway_cpu"]
    links = report["gateways"] * report["links_per_gateway"]
    lines = ["fleet: %d gateways x %d links at %g frames/s (%d links), %d edge broker%s, %g s"
             % (report["gateways"], report["links_per_gateway"], report["rate"], links, report["edges"],
                "" if report["edges"] == 1 else "s", report["duration"])]
    for fault in report["faults"]:
        lines.append("fault: %s broker killed at %g s, restarted %g s later"
                     % (fault["broker"], fault["at_s"], fault["down_s"]))
    lines += ["frames sent      %d" % frames["sent"],
              "frames seen      %d (centrally, distinct)" % frames["seen"],
              "lost             %d" % frames["lost"],
              "duplicates       %d" % frames["duplicates"],
              "seq gaps         %d" % frames["gaps"],
              "latency ms       p50 %s  p99 %s  max %s" % (_ms(frames["p50_ms"]), _ms(frames["p99_ms"]),
                                                          _ms(frames["max_ms"])),
              "gateway CPU      %.2f ms per frame, %.2f%% of a core per link, %.0f%% in all; %.1f wake-ups per frame"
              % (cpu["per_frame_ms"], cpu["per_link_percent"], cpu["total_percent"], cpu["wakeups_per_frame"]),
              "other CPU        " + ", ".join("%s %.0f%%" % item for item in report["other_cpu_percent"].items())]
    if report["unknown_links"]:
        lines.append("frames of links nobody sent on: %s" % ", ".join(report["unknown_links"]))
    return "\n".join(lines)


def _positive(kind):
    def parse(text):
        value = kind(text)
        if value <= 0:
            raise argparse.ArgumentTypeError("must be greater than 0, not %s" % text)
        return value
    return parse


def parse_options(argv):
    """The run's options from the command line `argv`."""
    parser = argparse.ArgumentParser(description="Run a fleet of gateways on this machine and report on it.")
    parser.add_argument("--gateways", type=_positive(int), default=8, metavar="K", help="gateway processes (8)")
    parser.add_argument("--links", type=_positive(int), default=16, metavar="M", help="links per gateway (16)")
    parser.add_argument("--rate", type=_positive(float), default=20.0, metavar="R",
                        help="frames a second per link (20)")
    parser.add_argument("--duration", type=_positive(float), default=60.0, metavar="S",
                        help="seconds of sending (60)")
    parser.add_argument("--edges", type=_positive(int), default=1, metavar="E",
                        help="edge brokers, the gateways spread over them (1)")
    parser.add_argument("--cut-uplink", type=_positive(float), metavar="T",
                        help="kill the central broker a fifth into the run, restart it T s later")
    parser.add_argument("--kill-edge", type=_positive(float), metavar="T",
                        help="kill the first edge broker past half the run, restart it T s later")
    parser.add_argument("--json", action="store_true", help="print the report as one JSON object")
    options = parser.parse_args(argv)
    if options.edges > options.gateways:
        parser.error("more edge brokers than gateways")
    return options


def _stop_on_sigterm(*_):
    raise KeyboardInterrupt


def main(argv=None):
    options = parse_options(argv)
    signal.signal(signal.SIGTERM, _stop_on_sigterm)
    try:
        report = run(options)
    except FleetError as error:
        print("fleet: %s" % error, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("fleet: stopped", file=sys.stderr)
        return 130
    print(json.dumps(report) if options.json else describe(report))
    return 0


if __name__ == "__main__":
    sys.exit(main())
