"""The frame on the wire, in Python: compose one, check one.

    FB | len | tx<<4 | rx | id<<2 | type | body (len bytes) | crc hi | crc lo | BF

The checksum is CRC-16/CMS (polynomial 0x8005, initial 0xFFFF, MSB first)
over everything from the start byte to the end of the body. This is the
package's one frame codec: nodes, tools and tests compose and check frames
here and nowhere else.
"""

import collections

__all__ = [
    "START", "END", "HEADER_SIZE", "OVERHEAD", "MAX_PAYLOAD", "PUBLIC_ID", "LAST_OWN_ID", "FIRST_RESERVED_ID",
    "VERSION_REQUEST_ID", "LAST_MESSAGE_ID", "WRITE", "REQUEST", "RESPONSE", "INDICATE", "TYPE_NAMES", "OK",
    "CRC_ERROR", "END_BYTE_ERROR", "LENGTH_ERROR", "Frame", "crc16", "type_number", "checked_body", "body_from_hex",
    "encode", "decode", "decode_checked",
]

START = 0xFB
END = 0xBF
HEADER_SIZE = 4            # start byte, length, address, id/type
OVERHEAD = 7               # header, two checksum bytes, end byte
MAX_PAYLOAD = 255
PUBLIC_ID = 15             # every node takes the frames sent to it
# The tools' limit, not the wire's: every answer to a node whose own id were
# 15 would be a public frame that every node takes.
LAST_OWN_ID = 14
FIRST_RESERVED_ID = 60     # requests with ids 60 to 63 are answered by the peer's engine
VERSION_REQUEST_ID = 63
LAST_MESSAGE_ID = 63       # six bits

WRITE, REQUEST, RESPONSE, INDICATE = range(4)
TYPE_NAMES = ("write", "request", "response", "indicate")

# What the checks made of a frame, as `Frame.status` and its JSON say it.
OK, CRC_ERROR, END_BYTE_ERROR, LENGTH_ERROR = "ok", "crc_error", "end_byte_error", "length_error"


def _crc_table():
    table = []
    for high in range(256):
        crc = high << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x8005) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
        table.append(crc)
    return tuple(table)


_CRC_TABLE = _crc_table()


def crc16(data, crc=0xFFFF):
    """CRC-16/CMS of `data` (bytes or ints), continuing from `crc`."""
    table = _CRC_TABLE
    for byte in data:
        crc = ((crc << 8) & 0xFFFF) ^ table[(crc >> 8) ^ byte]
    return crc


class Frame(collections.namedtuple(
        "Frame", "transmitter_id receiver_id message_type message_id data status")):
    """One decoded frame. `data` is the body as bytes; `status` is OK,
    CRC_ERROR, END_BYTE_ERROR or LENGTH_ERROR."""

    __slots__ = ()

    @property
    def ok(self):
        """True for an intact frame."""
        return self.status == OK

    def json_fields(self):
        """The frame as the tools write it in JSON: ids, the type's name, the
        body in hex and the status."""
        return {"transmitter_id": self.transmitter_id, "receiver_id": self.receiver_id,
                "message_type": TYPE_NAMES[self.message_type], "message_id": self.message_id,
                "data": self.data.hex(), "status": self.status}


def type_number(name):
    """The message type called `name` ("write", "request", "response",
    "indicate"); ValueError for any other name."""
    if name not in TYPE_NAMES:
        raise ValueError("message types are %s, not %r" % (", ".join(TYPE_NAMES), name))
    return TYPE_NAMES.index(name)


def checked_body(message_type, receiver_id, message_id, data):
    """`data` as bytes, once the fields of a frame are in range: ids 0 to 15,
    message ids 0 to 63, message types 0 to 3, the body at most 255 bytes;
    anything else is a ValueError."""
    data = bytes(data)
    for name, value, top in (("receiver id", receiver_id, PUBLIC_ID), ("message type", message_type, 3),
                             ("message id", message_id, LAST_MESSAGE_ID), ("body length", len(data), MAX_PAYLOAD)):
        if not 0 <= value <= top:
            raise ValueError("%s must be 0 to %d, not %r" % (name, top, value))
    return data


def body_from_hex(text):
    """The body that hex text such as "01 02 ff" writes; ValueError naming
    the text for anything else."""
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise ValueError("%r is not hex bytes such as '01 02 ff'" % (text,)) from None


def encode(transmitter_id, receiver_id, message_type, message_id, data=b""):
    """The bytes of one frame; fields out of range are a ValueError (see
    `checked_body`)."""
    if not 0 <= transmitter_id <= PUBLIC_ID:
        raise ValueError("transmitter id must be 0 to %d, not %r" % (PUBLIC_ID, transmitter_id))
    data = checked_body(message_type, receiver_id, message_id, data)
    head = bytes((START, len(data), (transmitter_id << 4) | receiver_id, (message_id << 2) | message_type))
    crc = crc16(data, crc16(head))
    return head + data + bytes((crc >> 8, crc & 0xFF, END))


def decode(raw):
    """Decode the bytes of exactly one frame, with the result of its checks."""
    raw = bytes(raw)
    if len(raw) < OVERHEAD or raw[0] != START or len(raw) != raw[1] + OVERHEAD:
        address = raw[2] if len(raw) > 2 else 0
        id_type = raw[3] if len(raw) > 3 else 0
        return Frame(address >> 4, address & 0x0F, id_type & 0x03, id_type >> 2, raw[HEADER_SIZE:-3], LENGTH_ERROR)
    if raw[-1] != END:
        status = END_BYTE_ERROR
    elif crc16(raw[:-3]) != (raw[-3] << 8) | raw[-2]:
        status = CRC_ERROR
    else:
        status = OK
    return decode_checked(raw, status)


def decode_checked(raw, status):
    """The fields of `raw`, a whole frame (bytes) whose checks are done
    already, with their result `status`: the link's cutter checks every
    frame it cuts, so nothing it hands up is checked twice."""
    return Frame(raw[2] >> 4, raw[2] & 0x0F, raw[3] & 0x03, raw[3] >> 2, raw[HEADER_SIZE:-3], status)
