"""The `korva` command: watch, record and replay a line; send, request and
scan as a node; serve links to an MQTT broker, the fleet dashboard, and the
fleet through the broker; check typed-message schemas. Exit status 0 on
success, 1 on an error, 2 on a usage error (`korva fleet` has more: see
`korva.fleet`).
"""

import argparse
import signal
import sys
import time
from contextlib import closing

import KorvaPy

from . import dashboard, fleet_command, frame, monitor
from .broker_url import add_tls_options
from .connect import line_gap, open_line, open_node
from .errors import DecodeError, KorvaError, KorvaTimeout
from .pcap import PcapWriter, read_records
from .schema import load as load_schema, peer, read as read_schema
from .schema.codec import frame_of
from .schema.commands import add_schema_commands
from .wire import Event

__all__ = ["main"]

_REPLAY_WRITE_TIMEOUT = 5.0  # seconds a replayed frame may wait for the line
_STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}  # what ends a serving command


def _ranged(name, top):
    def parse(text):
        try:
            value = int(text, 0)
        except ValueError:
            raise argparse.ArgumentTypeError("%s must be a number, not %r" % (name, text)) from None
        if not 0 <= value <= top:
            raise argparse.ArgumentTypeError("%s must be 0 to %d, not %d" % (name, top, value))
        return value
    return parse


_node_id = _ranged("a node id", frame.PUBLIC_ID)
_own_id = _ranged("a node's own id", frame.LAST_OWN_ID)
_message_id = _ranged("a message id", frame.LAST_MESSAGE_ID)


def _positive(text):
    value = float(text)
    if value <= 0:
        raise argparse.ArgumentTypeError("must be greater than 0, not %s" % text)
    return value


def _filter(text):
    try:
        return monitor.parse_filter(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _broker(text):
    try:
        return dashboard.check_broker(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _body(args):
    """The body DATA gives; its length is checked where every send checks it."""
    if args.text:
        return args.data.encode()
    try:
        return frame.body_from_hex(args.data)
    except ValueError as error:
        raise ValueError("DATA: %s (or use --text)" % error) from None


def _print_message(message):
    print(monitor.frame_text(message.as_frame()))


def _schema(args):
    """The TypedSchema that --schema names, or None."""
    return None if args.schema is None else load_schema(args.schema)


def _monitor(args):
    schema = _schema(args)
    monitor.check_filters(args.filter, schema)
    show = monitor.as_json if args.json else monitor.as_text
    summary = monitor.Summary(sys.stderr)

    def handle(event):
        summary.count(event)
        if monitor.passes(event, args.filter, schema):
            print(show(event, schema), flush=True)

    with closing(open_line(args.port, args.baud)) as line:
        elapsed = monitor.watch(line, line_gap(args.port, args.baud), handle, args.duration, summary.refresh)
    summary.close(elapsed)
    return 0


def _record(args):
    schema = _schema(args)
    summary = monitor.Summary(sys.stderr)
    with open(args.file, "wb") as file, closing(open_line(args.port, args.baud)) as line:
        writer = PcapWriter(file)
        epoch = time.time()
        print("recording %s to %s" % (args.port, args.file), file=sys.stderr, flush=True)

        def handle(event):
            summary.count(event)
            if event.frame is not None:
                writer.write(epoch + event.time, event.raw)
                if schema is not None:
                    print(monitor.as_text(event, schema), flush=True)

        elapsed = monitor.watch(line, line_gap(args.port, args.baud), handle, args.duration, summary.refresh)
    summary.close(elapsed)
    print("recorded %d frames to %s" % (summary.frames, args.file), file=sys.stderr)
    return 0


def _replay(args):
    schema = _schema(args)
    with open(args.file, "rb") as file:
        records = list(read_records(file))
    with closing(open_line(args.port, args.baud)) as line:
        start = time.monotonic()
        first = records[0][0] if records else 0.0
        for stamp, data in records:
            delay = start + (stamp - first) / args.speed - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            _write_all(line, data)
            if schema is not None:
                sent = Event(time.monotonic() - start, data, frame.decode(data))
                print(monitor.as_text(sent, schema), flush=True)
        _drain(line)
    print("replayed %d frames" % len(records), file=sys.stderr)
    return 0


def _write_all(line, data):
    deadline = time.monotonic() + _REPLAY_WRITE_TIMEOUT
    while data:
        if time.monotonic() > deadline:
            raise OSError("%s took no bytes for %g s" % (line.name, _REPLAY_WRITE_TIMEOUT))
        line.wait(False, True, 0.1)
        data = data[line.write(data):]


def _drain(line):
    deadline = time.monotonic() + _REPLAY_WRITE_TIMEOUT
    while line.output_queued and time.monotonic() < deadline:
        time.sleep(0.01)


def _send(args):
    receiver = frame.PUBLIC_ID if args.public else args.to
    message_type = frame.type_number(args.type)
    body = _body(args)
    with open_node(args.port, args.source, baud=args.baud) as node:
        status = node.send(message_type, receiver, args.id, body)
    if status != KorvaPy.KORVA_STATUS_SUCCESS:
        raise OSError("the frame was not sent: %s" % KorvaPy.KORVA_PUBLIC.resolve_status(status))
    return 0


def _request(args):
    with open_node(args.port, args.source, baud=args.baud) as node:
        reply = node.request(args.to, args.id, _body(args), timeout=args.timeout, retries=args.retries)
    _print_message(reply)
    return 0


def _scan(args):
    found = 0
    ask_fingerprint = _fingerprint_asker(args)
    with open_node(args.port, args.source, baud=args.baud) as node:
        for node_id in range(frame.LAST_OWN_ID + 1):
            if node_id == args.source:
                continue
            try:
                version = node.peer_version(node_id, timeout=args.timeout)
            except KorvaTimeout:
                continue
            found += 1
            line = "node %2d: engine version %d" % (node_id, version)
            changes = ()
            if ask_fingerprint is not None:
                text, changes = ask_fingerprint(node, node_id)
                line += ", " + text
            print(line, flush=True)
            for change in changes:
                print("    " + change, flush=True)
    print("%d node%s answered" % (found, "" if found == 1 else "s"), file=sys.stderr)
    return 0 if found else 1


def _fingerprint_asker(args):
    """With --schema, a function (node, node_id) -> (verdict text, breaking
    changes) that asks a node for its schema's fingerprint; else None."""
    typed = _schema(args)
    if typed is None:
        if args.peer_schema:
            raise ValueError("--peer-schema needs --schema")
        return None
    request = peer.fingerprint_request(typed.model)
    if request is None:
        raise ValueError("%s names no fingerprint request: a request without fields whose reply begins with "
                         "fingerprint (u32) and revision (u16)" % args.schema)
    known = [read_schema(path) for path in args.peer_schema]
    _, message_id, body = frame_of(typed.messages[request.name]())

    def ask(node, node_id):
        try:
            reply = node.request(node_id, message_id, body, timeout=args.timeout)
        except KorvaTimeout:
            return "no answer to %s" % request.name, ()
        try:
            told = peer.told(reply.data)
        except DecodeError as error:
            return "incompatible: %s" % error, ()
        verdict = peer.judge(typed.model, *told, known=known)
        return verdict.text, verdict.changes
    return ask


def _gateway(args):
    try:
        from .gateway.bridge import Gateway  # paho-mqtt is an extra that only this command needs
    except ImportError as error:
        raise OSError("the gateway needs paho-mqtt, the korva[mqtt] extra (Debian: python3-paho-mqtt): %s"
                      % error) from None
    from .gateway.config import load
    config = load(args.config, broker=args.broker, links=args.link, name=args.name, password=args.password,
                  tls_files={"cafile": args.cafile, "cert": args.cert, "key": args.key}, schema=args.schema,
                  id=args.id, qos=args.qos, buffer=args.buffer, stats_interval=args.stats_interval,
                  request_timeout=args.request_timeout)
    # Ctrl-C and SIGTERM are blocked in every thread and taken here: the
    # kernel hands a signal to any thread that lets it through, and one
    # handed to a line's or the broker's thread would never wake this one.
    unblocked = signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)
    try:
        gateway = Gateway(config)
        try:
            gateway.start()
            print("korva gateway: %s serving %s on %s" % (
                config.name, ", ".join(link.name for link in config.links), config.broker.url),
                file=sys.stderr, flush=True)
            signal.sigwait(_STOP_SIGNALS)
        finally:
            gateway.stop()
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, unblocked)
    return 0


def _dashboard(args):
    dashboard.serve(args.broker, args.listen)
    return 0


def _parser():
    line = argparse.ArgumentParser(add_help=False)
    line.add_argument("--port", required=True, metavar="DEVICE",
                      help="the line: a tty path, or tcp://HOST:PORT for a raw TCP stream (ser2net)")
    line.add_argument("--baud", type=int, default=115200,
                      help="bits per second of a tty (default 115200); over TCP the server sets it")
    node = argparse.ArgumentParser(add_help=False, parents=[line])
    node.add_argument("--from", dest="source", type=_own_id, default=0, metavar="ID",
                      help="this node's own id, 0 to %d (default 0)" % frame.LAST_OWN_ID)
    body = argparse.ArgumentParser(add_help=False)
    body.add_argument("data", nargs="?", default="", metavar="DATA", help="the body, as hex bytes (default empty)")
    body.add_argument("--text", action="store_true", help="DATA is text, sent as UTF-8")

    parser = argparse.ArgumentParser(prog="korva", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    typed = argparse.ArgumentParser(add_help=False)
    typed.add_argument("--schema", metavar="FILE", help="a schema file (.toml or .json) to decode bodies with")

    watch = commands.add_parser("monitor", parents=[line, typed],
                                help="decode every frame on the line; never writes")
    watch.add_argument("--json", action="store_true", help="one JSON object per line")
    watch.add_argument("--filter", type=_filter, action="append", default=[], metavar="KEY=VALUE",
                       help="show only frames with src, dst, id or type equal to VALUE, or msg (the message "
                            "name, with --schema) (repeatable)")
    watch.add_argument("--duration", type=_positive, metavar="S", help="stop after S seconds")
    watch.set_defaults(run=_monitor)

    send = commands.add_parser("send", parents=[node, body], help="send one frame")
    whom = send.add_mutually_exclusive_group(required=True)
    whom.add_argument("--to", type=_node_id, metavar="ID", help="the receiver's id")
    whom.add_argument("--public", action="store_true", help="send to every node (id %d)" % frame.PUBLIC_ID)
    send.add_argument("--id", type=_message_id, required=True, metavar="N",
                      help="the message id, 0 to %d" % frame.LAST_MESSAGE_ID)
    send.add_argument("--type", choices=frame.TYPE_NAMES, default="write", help="the message type (default write)")
    send.set_defaults(run=_send)

    ask = commands.add_parser("request", parents=[node, body], help="send a request and print the reply")
    ask.add_argument("--to", type=_node_id, required=True, metavar="ID", help="the receiver's id")
    ask.add_argument("--id", type=_message_id, required=True, metavar="N",
                     help="the message id, 0 to %d" % frame.LAST_MESSAGE_ID)
    ask.add_argument("--timeout", type=_positive, default=1.0, metavar="S", help="seconds per attempt (default 1)")
    ask.add_argument("--retries", type=int, default=0, metavar="K", help="attempts after the first (default 0)")
    ask.set_defaults(run=_request)

    scan = commands.add_parser("scan", parents=[node, typed],
                               help="ask ids 0 to %d for their engine version (and, with --schema, their "
                                    "schema's fingerprint)" % frame.LAST_OWN_ID)
    scan.add_argument("--timeout", type=_positive, default=0.2, metavar="S", help="seconds per id (default 0.2)")
    scan.add_argument("--peer-schema", action="append", default=[], metavar="FILE",
                      help="a schema peers may have been built from, to name what differs (repeatable)")
    scan.set_defaults(run=_scan)

    record = commands.add_parser("record", parents=[line, typed],
                                 help="write every frame to a pcap file (with --schema, also print it decoded)")
    record.add_argument("file", metavar="FILE.pcap")
    record.add_argument("--duration", type=_positive, metavar="S", help="stop after S seconds")
    record.set_defaults(run=_record)

    replay = commands.add_parser("replay", parents=[line, typed], help="write a pcap file's frames with their "
                                 "spacing (with --schema, print each decoded as it goes)")
    replay.add_argument("file", metavar="FILE.pcap")
    replay.add_argument("--speed", type=_positive, default=1.0, metavar="X", help="time factor (default 1)")
    replay.set_defaults(run=_replay)

    serve = commands.add_parser("gateway", help="serve links to an MQTT broker (needs korva[mqtt])")
    serve.add_argument("--config", metavar="FILE", help="an INI file of settings and [link NAME] sections")
    serve.add_argument("--broker", metavar="URL", help="mqtt://HOST:PORT, or mqtts://HOST:PORT for TLS")
    add_tls_options(serve)
    serve.add_argument("--name", help="the gateway's name in topics, and its MQTT user")
    serve.add_argument("--password", help="its MQTT password")
    serve.add_argument("--id", metavar="N", help="the gateway's node id on its links")
    serve.add_argument("--link", action="append", default=[], metavar="NAME=TARGET",
                       help="a link to serve: a tty path or tcp://HOST:PORT (repeatable)")
    serve.add_argument("--schema", metavar="FILE", help="the schema (.toml or .json) of these links' messages, "
                                                        "and of the configuration's links that name none")
    serve.add_argument("--qos", metavar="Q", help="QoS of the frames published, 0 or 1 (default 1)")
    serve.add_argument("--buffer", metavar="N", help="frames kept per link while the broker is away "
                                                     "(default 10000)")
    serve.add_argument("--stats-interval", metavar="S", help="seconds between statistics (default 5)")
    serve.add_argument("--request-timeout", metavar="S", help="seconds a request waits for its reply (default 1)")
    serve.set_defaults(run=_gateway)

    page = commands.add_parser("dashboard", help="serve the live fleet page on 127.0.0.1")
    page.add_argument("--broker", type=_broker, required=True, metavar="ws://HOST:PORT",
                      help="the broker's MQTT-over-websockets listener, as the browser reaches it")
    page.add_argument("--listen", type=_ranged("a port", 65535), default=dashboard.DEFAULT_PORT, metavar="PORT",
                      help="the page's port on 127.0.0.1 (default %d; 0 picks a free one)" % dashboard.DEFAULT_PORT)
    page.set_defaults(run=_dashboard)

    add_schema_commands(commands)
    fleet_command.add_parser(commands)
    return parser


def main(argv=None):
    """Run one command; returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        return args.run(args)
    except KorvaTimeout as error:
        print("korva %s: %s" % (args.command, error), file=sys.stderr)
    except (OSError, ValueError, KorvaError) as error:
        print("korva %s: error: %s" % (args.command, error), file=sys.stderr)
    except KeyboardInterrupt:
        print("korva %s: interrupted" % args.command, file=sys.stderr)
    return 1
