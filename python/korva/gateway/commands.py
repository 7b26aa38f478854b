"""Commands from the broker to a line, and their answers.

A publish to `korva/<gateway>/<link>/send/<rx>/<type>/<id>` sends one frame
through the node's engine; its payload is the body, or on a link with a
schema the message's fields (see `korva.gateway.payloads.command_body`). A request that carries an MQTT v5
Response Topic is asked with `request()` and answered there, with the same
Correlation Data, the reply as JSON (decoded by the link's schema, if it
has one) and a `korva-status` user property; it
waits no longer than the request's Message Expiry. Any other command with a
Response Topic is answered once its frame went out. Commands are never
queued: while the line is down they are answered `link_down` at once.
"""

import time
import typing

import KorvaPy

from .. import frame
from .payloads import command_body, error_payload, reply_payload

__all__ = ["STATUS_PROPERTY", "OK", "TIMEOUT", "LINK_DOWN", "BAD_REQUEST", "Answer", "Command", "Route",
           "bad_request", "parse_command", "route_of", "run"]

STATUS_PROPERTY = "korva-status"
OK, TIMEOUT, LINK_DOWN, BAD_REQUEST = "ok", "timeout", "link_down", "bad_request"
_SENT = b"{}"


class Route(typing.NamedTuple):
    """Where a command's answer goes: its Response Topic (None: nowhere),
    Correlation Data (None: none) and the monotonic time it expires."""

    response_topic: typing.Optional[str]
    correlation: typing.Optional[bytes]
    deadline: float


class Command(typing.NamedTuple):
    """One frame to send, and where its answer goes."""

    receiver_id: int
    message_type: int
    message_id: int
    body: bytes
    route: Route

    @property
    def asks(self):
        """Whether the command waits for the reply to a request."""
        return self.message_type == frame.REQUEST and self.route.response_topic is not None


class Answer(typing.NamedTuple):
    """A command's outcome: one of the `korva-status` values, and the payload."""

    status: str
    payload: bytes


def route_of(properties, request_timeout, now):
    """The Route of a message with MQTT v5 `properties` (None: none),
    received at monotonic time `now`: its answer waits `request_timeout`
    seconds at most, less if the message expires sooner."""
    response_topic = getattr(properties, "ResponseTopic", None)
    correlation = getattr(properties, "CorrelationData", None)
    expiry = getattr(properties, "MessageExpiryInterval", None)
    wait = request_timeout if expiry is None else min(request_timeout, expiry)
    return Route(response_topic or None, correlation, now + wait)


def parse_command(topics, topic, payload, route, schema=None):
    """The Command a message on a command topic of `topics` asks for, its
    fields encoded by `schema` (a `TypedSchema`, or None); BadTopic or
    BadPayload (both KorvaError) if it asks for none."""
    receiver_id, message_type, message_id = topics.parse_send(topic)
    return Command(receiver_id, message_type, message_id, command_body(payload, message_type, message_id, schema),
                   route)


def run(node, command, line_up, schema=None, now=time.monotonic):
    """Carry out `command` on `node`; its Answer, a reply decoded by
    `schema` (a `TypedSchema`, or None). `line_up()` says whether the
    node's line is there."""
    if not line_up():
        return _line_down()
    if command.asks:
        return _ask(node, command, line_up, schema, now)
    status = node.send(command.message_type, command.receiver_id, command.message_id, command.body)
    if status == KorvaPy.KORVA_STATUS_SUCCESS:
        return Answer(OK, _SENT)
    if not line_up():
        return _line_down()
    return Answer(TIMEOUT, error_payload("the frame was not sent: %s" % KorvaPy.KORVA_PUBLIC.resolve_status(status)))


def bad_request(error):
    """The answer to a command that could not be read: why, from a BadTopic
    or BadPayload."""
    return Answer(BAD_REQUEST, error_payload(str(error)))


def _ask(node, command, line_up, schema, now):
    timeout = command.route.deadline - now()
    if timeout <= 0:
        return Answer(TIMEOUT, error_payload("the request expired before it was sent"))
    try:
        reply = node.request(command.receiver_id, command.message_id, command.body, timeout=timeout)
    except TimeoutError as error:
        return _line_down() if not line_up() else Answer(TIMEOUT, error_payload(str(error)))
    return Answer(OK, reply_payload(reply, schema))


def _line_down():
    return Answer(LINK_DOWN, error_payload("the line is down"))
