"""In-memory transports for the KorvaPy tests."""

import KorvaPy


def frame_bytes(text):
    """Turn 'FB 02 E3' into [0xFB, 0x02, 0xE3]."""
    return [int(part, 16) for part in text.split()]


class RecordingNode(KorvaPy.KORVA_PUBLIC):
    """A node whose link is a byte list: writes are recorded (and handed
    to a peer when one is joined), reads drain `inbox`."""

    def __init__(self, node_id, write_status=KorvaPy.KORVA_STATUS_SUCCESS):
        super().__init__(node_id)
        self.write_status = write_status
        self.writes = []
        self.inbox = []
        self.read_sizes = []
        self.received = []
        self.peer = None

    def __write__(self, buffer, length):
        self.writes.append((buffer, length))
        if self.peer is not None:
            self.peer.inbox.extend(buffer)
        return self.write_status

    def __read__(self, length):
        self.read_sizes.append(length)
        pair = KorvaPy.Korva_Pair()
        pair.vec = self.inbox[:length]
        del self.inbox[:length]
        pair.status = KorvaPy.KORVA_STATUS_SUCCESS
        return pair

    def __available__(self):
        return len(self.inbox)

    def __rx_callback__(self, message_type, status, header):
        self.received.append((message_type, status, header))

    def written(self):
        """All bytes written so far, as one list."""
        return [byte for buffer, _ in self.writes for byte in buffer]


def join(a, b):
    """Loop two nodes back to back."""
    a.peer = b
    b.peer = a
