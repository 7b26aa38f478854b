"""The MQTT v5 packets a gateway connection writes and reads, as bytes.

Only what the gateway speaks: it logs in (with a will or without),
publishes at QoS 0 or 1, subscribes at QoS 1, acknowledges what it is
sent, pings, and says goodbye; it reads the login's answer, messages,
acknowledgements and the broker's goodbye. Properties are packed and read
by paho's `Properties`.
"""

import struct
import typing

from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties
from paho.mqtt.reasoncodes import ReasonCodes

__all__ = ["CONNACK", "DISCONNECT", "GOODBYE", "PING", "PINGRESP", "PUBACK", "PUBLISH", "SUBACK", "Message",
           "ProtocolError", "acknowledged", "acknowledgement", "answer", "connect", "disconnection", "message",
           "publish", "refusal", "split", "subscribe"]

CONNECT, CONNACK, PUBLISH, PUBACK, SUBSCRIBE, SUBACK, PINGREQ, PINGRESP, DISCONNECT = 1, 2, 3, 4, 8, 9, 12, 13, 14
_PROTOCOL = b"\x00\x04MQTT\x05"
_CLEAN_START, _WILL, _WILL_QOS_1, _WILL_RETAIN, _PASSWORD, _USER = 0x02, 0x04, 0x08, 0x20, 0x40, 0x80
_NO_PROPERTIES = b"\x00"
_LENGTH_BYTES = 4  # a remaining length takes at most four bytes
_U16 = struct.Struct("!H")

PING = bytes([PINGREQ << 4, 0])
GOODBYE = bytes([DISCONNECT << 4, 0])  # normal disconnection: the broker sends no will


class ProtocolError(ConnectionError):
    """The broker sent what MQTT v5 does not allow; the connection is dropped."""


class Message(typing.NamedTuple):
    """A message the broker delivered: topic, payload, QoS, packet id (0
    at QoS 0) and properties (paho's `Properties`)."""

    topic: str
    payload: bytes
    qos: int
    mid: int
    properties: Properties


def _length(count):
    """The variable-length encoding of `count`."""
    encoded = bytearray()
    while True:
        count, digit = divmod(count, 128)
        encoded.append(digit | (0x80 if count else 0))
        if not count:
            return bytes(encoded)


def _string(text):
    encoded = text.encode("utf-8")
    return _U16.pack(len(encoded)) + encoded


def _binary(data):
    return _U16.pack(len(data)) + data


def _packet(first_byte, body):
    return bytes([first_byte]) + _length(len(body)) + body


def _properties(properties):
    return _NO_PROPERTIES if properties is None else properties.pack()


def connect(client_id, keepalive, user, password, will_topic, will):
    """The login of a new session: the will `will` published retained at
    QoS 1 on `will_topic` (None: no will) if the connection ends without a
    goodbye; `user` and `password` (a str) each None when there is none."""
    flags = _CLEAN_START
    last_words = b""
    if will_topic is not None:
        flags |= _WILL | _WILL_QOS_1 | _WILL_RETAIN
        last_words = _NO_PROPERTIES + _string(will_topic) + _binary(will)
    credentials = b""
    if user is not None:
        flags |= _USER
        credentials += _string(user)
    if password is not None:
        flags |= _PASSWORD
        credentials += _binary(password.encode("utf-8"))
    body = (_PROTOCOL + bytes([flags]) + _U16.pack(keepalive) + _NO_PROPERTIES + _string(client_id) + last_words
            + credentials)
    return _packet(CONNECT << 4, body)


def publish(topic, payload, qos, retain, mid, properties=None):
    """A message on `topic`; `mid` is its packet id at QoS 1."""
    packet_id = _U16.pack(mid) if qos else b""
    body = _string(topic) + packet_id + _properties(properties) + payload
    return _packet(PUBLISH << 4 | qos << 1 | retain, body)


def subscribe(mid, topic, qos):
    """A subscription to `topic` at most at `qos`, as packet `mid`."""
    return _packet(SUBSCRIBE << 4 | 0x02, _U16.pack(mid) + _NO_PROPERTIES + _string(topic) + bytes([qos]))


def acknowledgement(mid):
    """Message `mid` was taken (reason: success)."""
    return bytes([PUBACK << 4, 2]) + _U16.pack(mid)


def split(data):
    """The whole packets at the start of `data`, as (type, flags, body)
    triples, and the number of bytes they take."""
    packets, start, end = [], 0, len(data)
    while start + 2 <= end:
        length, shift, position = 0, 0, start + 1
        while True:
            if position == end:
                return packets, start  # the length is not all there yet
            digit = data[position]
            position += 1
            length |= (digit & 0x7F) << shift
            shift += 7
            if not digit & 0x80:
                break
            if position - start > _LENGTH_BYTES:
                raise ProtocolError("a packet length longer than %d bytes" % _LENGTH_BYTES)
        if position + length > end:
            break
        packets.append((data[start] >> 4, data[start] & 0x0F, bytes(data[position:position + length])))
        start = position + length
    return packets, start


def _read_properties(packet_type, body, offset):
    """The properties at `offset` of `body`, and the offset after them."""
    try:
        properties, size = Properties(packet_type).unpack(body[offset:])
    except Exception as error:  # paho's reader raises whatever a malformed list makes it
        raise ProtocolError("malformed properties: %s" % error) from error
    return properties, offset + size


def answer(body):
    """The reason code and properties of the broker's answer to the login."""
    if len(body) < 2:
        raise ProtocolError("a login answer of %d bytes" % len(body))
    properties, _ = _read_properties(PacketTypes.CONNACK, body, 2) if len(body) > 2 else (None, 2)
    return body[1], properties


def message(flags, body):
    """The Message of a PUBLISH packet with `flags` and `body`."""
    qos, offset = (flags >> 1) & 0x03, 2
    try:
        (size,) = _U16.unpack_from(body)
        topic = body[offset:offset + size].decode("utf-8")
        offset += size
        mid = 0
        if qos:
            (mid,) = _U16.unpack_from(body, offset)
            offset += 2
    except (struct.error, UnicodeDecodeError) as error:
        raise ProtocolError("a malformed message: %s" % error) from error
    if qos > 1 or offset > len(body):
        raise ProtocolError("a message at QoS %d of %d bytes" % (qos, len(body)))
    properties, offset = _read_properties(PacketTypes.PUBLISH, body, offset)
    return Message(topic, body[offset:], qos, mid, properties)


def acknowledged(body):
    """The packet id a PUBACK or SUBACK answers."""
    if len(body) < 2:
        raise ProtocolError("an acknowledgement of %d bytes" % len(body))
    return _U16.unpack_from(body)[0]


def refusal(code):
    """What the login's answer with reason `code` means, in MQTT's words."""
    return _reason(PacketTypes.CONNACK, code)


def disconnection(body):
    """Why the broker's goodbye with `body` ended the connection, in MQTT's words."""
    return _reason(PacketTypes.DISCONNECT, body[0] if body else 0)


def _reason(packet_type, code):
    try:
        return str(ReasonCodes(packet_type, identifier=code))
    except AssertionError:  # paho's check of a code it has no name for
        return "reason %d" % code
