"""Capture files: frames in the classic pcap format, link type 147
(LINKTYPE_USER0), one record per frame stamped with the time of its first
byte. Wireshark reads them with `tools/wireshark/korva.lua`."""

import struct

__all__ = ["LINKTYPE_USER0", "PcapWriter", "read_records"]

LINKTYPE_USER0 = 147
_MAGIC_MICROSECONDS = 0xA1B2C3D4
_MAGIC_NANOSECONDS = 0xA1B23C4D
_SNAPLEN = 65535
_FILE_HEADER = struct.Struct("<IHHiIII")
_RECORD_HEADER = "IIII"


class PcapWriter:
    """Writes records to a binary file opened by the caller."""

    def __init__(self, file):
        self._file = file
        file.write(_FILE_HEADER.pack(_MAGIC_MICROSECONDS, 2, 4, 0, 0, _SNAPLEN, LINKTYPE_USER0))

    def write(self, timestamp, data):
        """One record: `data` captured at `timestamp` (seconds since the epoch)."""
        microseconds = round(timestamp * 1e6)
        self._file.write(struct.pack("<" + _RECORD_HEADER, microseconds // 1000000, microseconds % 1000000,
                                     len(data), len(data)))
        self._file.write(data)


def read_records(file):
    """The (timestamp, data) records of a link-type-147 capture, in order;
    ValueError for anything else or a file cut short."""
    head = file.read(_FILE_HEADER.size)
    if len(head) < _FILE_HEADER.size:
        raise ValueError("not a pcap file: too short")
    for order in "<>":
        magic, _, _, _, _, _, link_type = struct.unpack(order + _FILE_HEADER.format[1:], head)
        if magic in (_MAGIC_MICROSECONDS, _MAGIC_NANOSECONDS):
            break
    else:
        raise ValueError("not a pcap file (magic %s)" % head[:4].hex())
    if link_type != LINKTYPE_USER0:
        raise ValueError("the capture's link type is %d, not %d" % (link_type, LINKTYPE_USER0))
    unit = 1e-6 if magic == _MAGIC_MICROSECONDS else 1e-9
    record = struct.Struct(order + _RECORD_HEADER)
    while True:
        header = file.read(record.size)
        if not header:
            return
        if len(header) < record.size:
            raise ValueError("the capture ends inside a record header")
        seconds, fraction, captured, _ = record.unpack(header)
        data = file.read(captured)
        if len(data) < captured:
            raise ValueError("the capture ends inside a record")
        yield seconds + fraction * unit, data
