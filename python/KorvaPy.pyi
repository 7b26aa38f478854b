"""Type stub for the KorvaPy extension module."""

from typing import Any, ClassVar, Dict, List, Sequence

class _KorvaEnum:
    """What the three registered enumerations have in common."""
    __members__: ClassVar[Dict[str, Any]]
    def __init__(self, value: int) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: int) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class Korva_Status_t(_KorvaEnum):
    """The result of every engine operation; KORVA_STATUS_SUCCESS is the
    only success. Value 10 has no member."""
    KORVA_STATUS_DEFAULT: ClassVar[Korva_Status_t]
    KORVA_STATUS_SUCCESS: ClassVar[Korva_Status_t]
    KORVA_STATUS_PORT_BUSY: ClassVar[Korva_Status_t]
    KORVA_STATUS_TIMEOUT: ClassVar[Korva_Status_t]
    KORVA_STATUS_FAIL: ClassVar[Korva_Status_t]
    KORVA_STATUS_RX_ERROR: ClassVar[Korva_Status_t]
    KORVA_STATUS_CRC_ERROR: ClassVar[Korva_Status_t]
    KORVA_STATUS_START_BYTE_ERROR: ClassVar[Korva_Status_t]
    KORVA_STATUS_END_BYTE_ERROR: ClassVar[Korva_Status_t]
    KORVA_STATUS_HEADER_LENGTH_ERROR: ClassVar[Korva_Status_t]
    KORVA_STATUS_MESSAGE_ID_ERROR: ClassVar[Korva_Status_t]
    KORVA_STATUS_NULL_MESSAGE: ClassVar[Korva_Status_t]

class Korva_event_types(_KorvaEnum):
    """A frame's message type: write, request, response or indicate."""
    KV_WRITE_EVENT: ClassVar[Korva_event_types]
    KV_REQUEST_EVENT: ClassVar[Korva_event_types]
    KV_RESPONSE_EVENT: ClassVar[Korva_event_types]
    KV_INDICATE_EVENT: ClassVar[Korva_event_types]

class Korva_headers(_KorvaEnum):
    """The frame's start and end bytes, and the public and default ids."""
    MESSAGE_START: ClassVar[Korva_headers]
    MESSAGE_END: ClassVar[Korva_headers]
    PUBLIC_ID_8BIT: ClassVar[Korva_headers]
    DEFAULT_ID_8BIT: ClassVar[Korva_headers]
    PUBLIC_ID_4BIT: ClassVar[Korva_headers]
    DEFAULT_ID_4BIT: ClassVar[Korva_headers]

KORVA_STATUS_DEFAULT: Korva_Status_t
KORVA_STATUS_SUCCESS: Korva_Status_t
KORVA_STATUS_PORT_BUSY: Korva_Status_t
KORVA_STATUS_TIMEOUT: Korva_Status_t
KORVA_STATUS_FAIL: Korva_Status_t
KORVA_STATUS_RX_ERROR: Korva_Status_t
KORVA_STATUS_CRC_ERROR: Korva_Status_t
KORVA_STATUS_START_BYTE_ERROR: Korva_Status_t
KORVA_STATUS_END_BYTE_ERROR: Korva_Status_t
KORVA_STATUS_HEADER_LENGTH_ERROR: Korva_Status_t
KORVA_STATUS_MESSAGE_ID_ERROR: Korva_Status_t
KORVA_STATUS_NULL_MESSAGE: Korva_Status_t
KV_WRITE_EVENT: Korva_event_types
KV_REQUEST_EVENT: Korva_event_types
KV_RESPONSE_EVENT: Korva_event_types
KV_INDICATE_EVENT: Korva_event_types
MESSAGE_START: Korva_headers
MESSAGE_END: Korva_headers
PUBLIC_ID_8BIT: Korva_headers
DEFAULT_ID_8BIT: Korva_headers
PUBLIC_ID_4BIT: Korva_headers
DEFAULT_ID_4BIT: Korva_headers

class pyKORVA_PUBLIC:
    """A frame's header decoded into fields, with its body as a list."""
    data_len: int
    receiver_id: int
    transmitter_id: int
    message_type: int
    message_id: int
    data: List[int]
    def __init__(self) -> None: ...

class Korva_Pair:
    """What `__read__` returns: a status and the bytes read."""
    status: Korva_Status_t
    vec: List[int]
    def __init__(self) -> None: ...

class KORVA_PUBLIC:
    """One end of a framed-message link: the engine. Subclass it and define
    the hooks `__write__`, `__read__` and `__available__` (the link) and
    `__rx_callback__` (received messages); then call the send methods and
    `listener`. The engine owns two 1024-byte buffers and allocates nothing.
    It is not thread-safe: drive one object from one thread at a time, hooks
    included. Hooks run inside the call that needs them: `__write__` inside
    every send and also inside `listener` and `handle_message_data` (the
    engine answers requests with ids 60 to 63 itself, right after an open
    streamed frame ends if one is open). Sends try each piece up to 5 times.
    """
    HEADER_SIZE: ClassVar[int]
    MAX_MSG_LENGTH: ClassVar[int]
    def __init__(self, id: int, /) -> None:
        """An engine with own id `id` (0 to 15; larger ids become 15)."""
    def __rx_callback__(self, message_type: Korva_event_types, status: Korva_Status_t,
                        header: pyKORVA_PUBLIC, /) -> None:
        """Hook: a frame for this node or for id 15 arrived, with
        KORVA_STATUS_SUCCESS or KORVA_STATUS_CRC_ERROR (delivered all the
        same). Requests with ids 60 to 63 never come here."""
    def __tx_callback__(self, message_type: Korva_event_types, status: Korva_Status_t,
                        header: pyKORVA_PUBLIC, /) -> None:
        """Hook that no engine operation calls; defining it has no effect."""
    def __write__(self, buffer: Sequence[int], len: int, /) -> Korva_Status_t:
        """Hook: put the first `len` bytes of `buffer` on the link; return
        KORVA_STATUS_SUCCESS when all of them went. Any other status makes
        the engine try the piece again, up to 5 times."""
    def __read__(self, len: int, /) -> Korva_Pair:
        """Hook: read exactly `len` bytes; return them with
        KORVA_STATUS_SUCCESS. Fewer bytes than asked count as a failed read."""
    def __available__(self) -> int:
        """Hook: how many bytes can be read now without waiting."""
    def handle_message_data(self, data: Sequence[int], len: int, /) -> Korva_Status_t:
        """Check `len` bytes (body, crc hi, crc lo, end byte) that belong to
        the header `listener` accepted last, and deliver the frame. Returns
        what `listener` returns for them, KORVA_STATUS_HEADER_LENGTH_ERROR or
        KORVA_STATUS_START_BYTE_ERROR with no header pending,
        KORVA_STATUS_NULL_MESSAGE for an empty list, and status 10
        (KORVA_MESSAGE_LENGTH_ERROR, which has no member) when `len` is
        longer than `data`."""
    def push_to_queue(self, data: Sequence[int], len: int, /) -> Korva_Status_t:
        """Send the next `len` body bytes of the open streamed frame; they
        count towards its checksum even when the write fails. Returns
        KORVA_STATUS_START_BYTE_ERROR with no frame open,
        KORVA_STATUS_FAIL for a list shorter than `len` or before the header
        went, otherwise the write's status."""
    def finalize_queue(self, attempts: int, /) -> Korva_Status_t:
        """Send the trailer and close the streamed frame, trying up to
        `attempts` times. Returns KORVA_STATUS_START_BYTE_ERROR with no frame
        open, KORVA_STATUS_FAIL when no body byte went out,
        KORVA_STATUS_DEFAULT for 0 attempts, the write's failure (the frame
        stays open), or KORVA_STATUS_SUCCESS. The announced length is not
        checked against the bytes pushed."""
    def set_fixed_packet_size(self, size: int, /) -> None:
        """0: frames as long as their body; otherwise every one-shot frame is
        padded with zero bytes to `size` bytes in all."""
    def GET_KORVA_VERSION(self) -> int:
        """The engine's version number, as it answers a request with id 63."""
    def get_packet_data_length(self, header: pyKORVA_PUBLIC, /) -> int:
        """The body length a received header announces."""
    def listener(self) -> Korva_Status_t:
        """Read and handle at most one frame through the hooks. Returns
        KORVA_STATUS_DEFAULT when fewer than 4 bytes are available (nothing
        read) or for a request with id 60 to 63 (answered by the engine);
        KORVA_STATUS_START_BYTE_ERROR when the bytes ran out before a start
        byte; a failed `__read__`'s status; KORVA_STATUS_PORT_BUSY for a
        frame addressed to another node; KORVA_STATUS_END_BYTE_ERROR or
        status 10 (KORVA_MESSAGE_LENGTH_ERROR) for a malformed frame;
        KORVA_STATUS_SUCCESS or KORVA_STATUS_CRC_ERROR for a delivered one."""
    def is_packet_broken(self, status: Korva_Status_t, /) -> bool:
        """True for KORVA_STATUS_FAIL and every status above it."""
    def is_crc_failed(self, status: Korva_Status_t, /) -> bool:
        """True for KORVA_STATUS_CRC_ERROR."""
    def get_rx_buffer_size(self) -> int:
        """The receive buffer's size in bytes (1024)."""
    @staticmethod
    def resolve_status(status: Korva_Status_t, /) -> str:
        """The status's text, such as "KORVA_SUCCESS"."""
    def write(self, receiver_id: int, message_id: int, buffer: Sequence[int], len: int, /) -> Korva_Status_t:
        """Send one write-type frame with the first `len` bytes of `buffer`
        to `receiver_id`. Returns KORVA_STATUS_MESSAGE_ID_ERROR for a message
        id of 60 or more, KORVA_STATUS_PORT_BUSY while a frame for another
        node is being read, KORVA_STATUS_FAIL for a list shorter than `len`,
        status 10 (KORVA_MESSAGE_LENGTH_ERROR) when the frame does not fit
        the fixed packet size, otherwise the status of the last `__write__`."""
    def start_write_queue(self, t: Korva_event_types, receiver_id: int, message_id: int, len: int,
                          attempts: int, /) -> Korva_Status_t:
        """Open a streamed frame of type `t` announcing `len` body bytes:
        send the start byte and the header, each tried up to `attempts` times.
        Returns KORVA_STATUS_MESSAGE_ID_ERROR (60 or more),
        KORVA_STATUS_PORT_BUSY, the start byte's failure (nothing open), or
        the header's status: the header counts as sent either way."""
    def write_public(self, message_id: int, buffer: Sequence[int], len: int, /) -> Korva_Status_t:
        """`write` to the public id 15, which every node receives."""
    def assign_new_id(self, id: int, /) -> None:
        """Change this node's own id."""
