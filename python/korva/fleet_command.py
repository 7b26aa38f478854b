"""`korva fleet`: the gateways' links as seen through the broker, for
operators and scripts. Every command takes --broker URL, --user and
--password-file, and the TLS files of an mqtts:// broker.

    korva fleet list [--json]
    korva fleet watch [GATEWAY[/LINK]] [--json] [--duration S]
    korva fleet send GATEWAY/LINK RX TYPE ID [HEX] [--timeout S]
    korva fleet request GATEWAY/LINK RX ID [HEX] [--timeout S]

See `korva.fleet` for the exit statuses.
"""

import argparse
import json
import math
import sys
import time

from . import broker_url, frame
from .fleet import (FleetError, LinkState, SeqGaps, answer_lines, frame_line, gap_line, list_json,
                    list_table, no_answer)
from .gateway.payloads import BadPayload
from .gateway.topics import BadTopic, LinkTopics, check_level, link_filter, split

__all__ = ["add_parser"]

LIST_SETTLE = 0.5       # seconds without a retained message once subscribed: the broker has sent them all
DEFAULT_TIMEOUT = 5.0   # seconds a command waits for its answer
ANSWER_MARGIN = 2.0     # seconds beyond a command's own time for the gateway's answer to come back
_WATCH_STEP = 0.2       # seconds between looks at the clock while watching a quiet fleet


def _broker_url(text):
    try:
        broker_url.parse(text)  # the TLS files are checked with it once all options are read
    except broker_url.BrokerUrlError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def _level(kind):
    def parse(text):
        try:
            return check_level(kind, text)
        except BadTopic as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    return parse


def _where(text):
    """(gateway, link) of GATEWAY/LINK."""
    gateway, _, link = text.partition("/")
    return _level("gateway")(gateway), _level("link")(link)


def _watched(text):
    """(gateway, link or None) of GATEWAY[/LINK]."""
    gateway, slash, link = text.partition("/")
    return _level("gateway")(gateway), (_level("link")(link) if slash else None)


def _ranged(name, top):
    def parse(text):
        if not text.isdigit() or int(text) > top:
            raise argparse.ArgumentTypeError("%s is 0 to %d, not %r" % (name, top, text))
        return int(text)
    return parse


def _type(text):
    try:
        return frame.type_number(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _hex(text):
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise argparse.ArgumentTypeError("HEX is hex bytes such as '01 02 ff', not %r" % text) from None


def _positive(text):
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not value > 0:
        raise argparse.ArgumentTypeError("must be a number of seconds greater than 0, not %r" % text)
    return value


def _connected(args):
    """A logged-in `korva.fleet_client.FleetClient` for the options."""
    try:
        from .fleet_client import FleetClient  # paho-mqtt is an extra that only the broker's commands need
    except ImportError as error:
        raise OSError("korva fleet needs paho-mqtt, the korva[mqtt] extra (Debian: python3-paho-mqtt): %s"
                      % error) from None
    broker = broker_url.parse(args.broker, args.cafile, args.cert, args.key)
    password = None
    if args.password_file:
        if args.user is None:
            raise ValueError("--password-file goes with --user")
        with open(args.password_file) as file:
            password = file.readline().rstrip("\r\n")
    client = FleetClient(broker, args.user, password)
    try:
        client.connect()
    except BaseException:
        client.close()
        raise
    return client


def _list(args, client):
    state = LinkState()
    client.subscribe(*(link_filter(None, None, kind) for kind in ("status", "info", "stats")))
    quiet_since = time.monotonic()
    while time.monotonic() - quiet_since < LIST_SETTLE:
        message = client.next_message(quiet_since + LIST_SETTLE - time.monotonic())
        if message is not None:
            state.take(message.topic, message.payload)
            if message.retain:
                quiet_since = time.monotonic()
    print(list_json(state.rows()) if args.json else list_table(state.rows(), time.time()), flush=True)
    return 0


def _watch(args, client):
    gateway, link = args.where or (None, None)
    client.subscribe(link_filter(gateway, link, "frame", "#"))
    gaps = SeqGaps()
    end = None if args.duration is None else time.monotonic() + args.duration
    try:
        while end is None or time.monotonic() < end:
            message = client.next_message(_WATCH_STEP if end is None else min(_WATCH_STEP, end - time.monotonic()))
            if message is not None:
                _show_frame(message, gaps, args.json)
    except KeyboardInterrupt:
        pass
    return 0


def _show_frame(message, gaps, as_json):
    gateway, link, _ = split(message.topic)
    try:
        document = json.loads(message.payload)
        line = frame_line(gateway, link, document, as_json)
        gap = gaps.see(gateway, link, document["seq"])
    except (ValueError, KeyError, TypeError, BadPayload) as error:
        print("korva fleet watch: %s: %s" % (message.topic, error), file=sys.stderr, flush=True)
        return
    if gap is not None:
        print(gap_line(gap, as_json))
    print(line, flush=True)


def _send(args, client):
    return _command(args, client, args.type, args.type == frame.REQUEST)


def _request(args, client):
    return _command(args, client, frame.REQUEST, True)


def _command(args, client, message_type, asks):
    gateway, link = args.where
    body = frame.checked_body(message_type, args.rx, args.id, args.hex)
    topic = LinkTopics(gateway, link).send(args.rx, message_type, args.id)
    client.subscribe(client.reply_topic())
    correlation = client.request(topic, json.dumps({"data": body.hex()}), math.ceil(args.timeout))
    answer = client.answer(correlation, args.timeout + ANSWER_MARGIN)
    where = "%s/%s" % (gateway, link)
    lines = no_answer(where, args.timeout) if answer is None else answer_lines(where, asks, *answer, args.json)
    if lines.out is not None:
        print(lines.out, flush=True)
    if lines.err is not None:
        print("korva fleet %s: %s" % (args.fleet_command, lines.err), file=sys.stderr, flush=True)
    return lines.exit_status


def _run(args):
    try:
        client = _connected(args)
        try:
            return args.fleet_run(args, client)
        finally:
            client.close()
    except FleetError as error:
        print("korva fleet %s: %s" % (args.fleet_command, error), file=sys.stderr, flush=True)
        return error.exit_status


def add_parser(commands):
    """Add `fleet` and its commands to the subparsers `commands` of `korva`."""
    options = argparse.ArgumentParser(add_help=False)
    options.add_argument("--broker", type=_broker_url, required=True, metavar="URL",
                         help="mqtt://HOST[:PORT], or mqtts://HOST[:PORT] for TLS")
    options.add_argument("--user", help="the MQTT user")
    options.add_argument("--password-file", metavar="FILE", help="a file whose first line is the user's password")
    broker_url.add_tls_options(options)
    command = argparse.ArgumentParser(add_help=False)
    command.add_argument("where", type=_where, metavar="GATEWAY/LINK")
    command.add_argument("rx", type=_ranged("RX", frame.PUBLIC_ID), metavar="RX", help="the receiver's id, 0 to 15")
    timeout = argparse.ArgumentParser(add_help=False)
    timeout.add_argument("--timeout", type=_positive, default=DEFAULT_TIMEOUT, metavar="S",
                         help="seconds the command may take, also its lifetime on the broker (default %g)"
                              % DEFAULT_TIMEOUT)
    timeout.add_argument("--json", action="store_true", help="the answer as one JSON object")

    fleet = commands.add_parser("fleet", help="the gateways' links through the broker: list, watch, send, request",
                                description=__doc__.split("\n\n")[0])
    fleet.set_defaults(run=_run)
    verbs = fleet.add_subparsers(dest="fleet_command", metavar="COMMAND", required=True)

    listing = verbs.add_parser("list", parents=[options], help="every link: status, last seen, node, counts")
    listing.add_argument("--json", action="store_true", help="one JSON array")
    listing.set_defaults(fleet_run=_list)

    watch = verbs.add_parser("watch", parents=[options], help="frames as korva monitor shows them, and seq gaps")
    watch.add_argument("where", nargs="?", type=_watched, metavar="GATEWAY[/LINK]", help="default: every link")
    watch.add_argument("--json", action="store_true", help="one JSON object per line")
    watch.add_argument("--duration", type=_positive, metavar="S", help="stop after S seconds")
    watch.set_defaults(fleet_run=_watch)

    send = verbs.add_parser("send", parents=[options, command, timeout], help="send one frame, wait until it went out")
    send.add_argument("type", type=_type, metavar="TYPE", help="write, request, response or indicate")
    send.add_argument("id", type=_ranged("ID", frame.LAST_MESSAGE_ID), metavar="ID", help="the message id, 0 to 63")
    send.add_argument("hex", nargs="?", type=_hex, default=b"", metavar="HEX", help="the body in hex (default empty)")
    send.set_defaults(fleet_run=_send)

    ask = verbs.add_parser("request", parents=[options, command, timeout], help="send a request, print the reply")
    ask.add_argument("id", type=_ranged("ID", frame.LAST_MESSAGE_ID), metavar="ID", help="the message id, 0 to 63")
    ask.add_argument("hex", nargs="?", type=_hex, default=b"", metavar="HEX", help="the body in hex (default empty)")
    ask.set_defaults(fleet_run=_request)
