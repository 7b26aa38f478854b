"""The gateway's topic tree. The frame header is in the topic, so that
subscribers filter with wildcards and the broker's access list decides who
may send what, without reading payloads:

    korva/<gateway>/<link>/frame/<tx>/<rx>/<type>/<id>   every frame on the line
    korva/<gateway>/<link>/send/<rx>/<type>/<id>         commands to the line
    korva/<gateway>/<link>/status                        up, down or offline (retained)
    korva/<gateway>/<link>/info                          node id, target, engine version (retained)
    korva/<gateway>/<link>/stats                         link statistics (retained)
    korva/<gateway>/<link>/schema                        the link's schema, canonical JSON (retained)

`<type>` is write, request, response or indicate; ids are decimal.
"""

from .. import frame
from ..errors import KorvaError

__all__ = ["ROOT", "STATE", "BadTopic", "LinkTopics", "check_level", "link_filter", "split"]

ROOT = "korva"
STATE = ("status", "info", "stats")  # the retained topics of a link
_WILDCARDS = ("+", "#")
_ANY = "+"


class BadTopic(KorvaError):
    """A topic or a topic level that the gateway's tree has no place for."""


def check_level(kind, name):
    """`name` if it can be one topic level (a gateway or link name); else
    BadTopic naming `kind`."""
    if not name or "/" in name or any(wildcard in name for wildcard in _WILDCARDS) or "\0" in name:
        raise BadTopic("a %s name must be a non-empty topic level without '/', '+', '#', not %r" % (kind, name))
    return name


def link_filter(gateway, link, *levels):
    """A subscription to `levels` of a link, None for a gateway or link
    matching every one."""
    return "/".join((ROOT, gateway or _ANY, link or _ANY) + levels)


def split(topic):
    """(gateway, link, the levels after them) of a topic in the tree; BadTopic
    for any other topic."""
    levels = topic.split("/")
    if len(levels) < 4 or levels[0] != ROOT:
        raise BadTopic("not a topic of a link: %r" % topic)
    return levels[1], levels[2], levels[3:]


def _number(text, top, what):
    if not text.isdigit() or (len(text) > 1 and text[0] == "0") or int(text) > top:
        raise BadTopic("%s must be 0 to %d in decimal, not %r" % (what, top, text))
    return int(text)


def _type_number(name):
    try:
        return frame.type_number(name)
    except ValueError as error:
        raise BadTopic(str(error)) from None


class LinkTopics:
    """The topics of one link served by one gateway."""

    def __init__(self, gateway, link):
        self.base = "/".join((ROOT, check_level("gateway", gateway), check_level("link", link)))
        self.status = self.base + "/status"
        self.info = self.base + "/info"
        self.stats = self.base + "/stats"
        self.schema = self.base + "/schema"
        self.commands = self.base + "/send/#"
        self._send_prefix = self.base + "/send/"

    def frame(self, decoded):
        """The topic of a decoded frame (a `korva.frame.Frame`)."""
        return "%s/frame/%d/%d/%s/%d" % (self.base, decoded.transmitter_id, decoded.receiver_id,
                                         frame.TYPE_NAMES[decoded.message_type], decoded.message_id)

    def send(self, receiver_id, message_type, message_id):
        """The command topic of a frame to send."""
        return "%s%d/%s/%d" % (self._send_prefix, receiver_id, frame.TYPE_NAMES[message_type], message_id)

    def parse_send(self, topic):
        """(receiver_id, message_type, message_id) of a command topic;
        BadTopic if the topic is not one."""
        if not topic.startswith(self._send_prefix):
            raise BadTopic("not a command topic of %s: %r" % (self.base, topic))
        levels = topic[len(self._send_prefix):].split("/")
        if len(levels) != 3:
            raise BadTopic("a command topic ends in send/<rx>/<type>/<id>, not %r" % topic)
        receiver, type_name, message_id = levels
        return (_number(receiver, frame.PUBLIC_ID, "a receiver id"), _type_number(type_name),
                _number(message_id, frame.LAST_MESSAGE_ID, "a message id"))
