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
    KV_WRITE_EVENT: ClassVar[Korva_event_types]
    KV_REQUEST_EVENT: ClassVar[Korva_event_types]
    KV_RESPONSE_EVENT: ClassVar[Korva_event_types]
    KV_INDICATE_EVENT: ClassVar[Korva_event_types]

class Korva_headers(_KorvaEnum):
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
    data_len: int
    receiver_id: int
    transmitter_id: int
    message_type: int
    message_id: int
    data: List[int]
    def __init__(self) -> None: ...

class Korva_Pair:
    status: Korva_Status_t
    vec: List[int]
    def __init__(self) -> None: ...

class KORVA_PUBLIC:
    HEADER_SIZE: ClassVar[int]
    MAX_MSG_LENGTH: ClassVar[int]
    def __init__(self, id: int, /) -> None: ...
    def __rx_callback__(self, message_type: Korva_event_types, status: Korva_Status_t,
                        header: pyKORVA_PUBLIC, /) -> None: ...
    def __tx_callback__(self, message_type: Korva_event_types, status: Korva_Status_t,
                        header: pyKORVA_PUBLIC, /) -> None: ...
    def __write__(self, buffer: Sequence[int], len: int, /) -> Korva_Status_t: ...
    def __read__(self, len: int, /) -> Korva_Pair: ...
    def __available__(self) -> int: ...
    def handle_message_data(self, data: Sequence[int], len: int, /) -> Korva_Status_t: ...
    def push_to_queue(self, data: Sequence[int], len: int, /) -> Korva_Status_t: ...
    def finalize_queue(self, count: int, /) -> Korva_Status_t: ...
    def set_fixed_packet_size(self, size: int, /) -> None: ...
    def GET_KORVA_VERSION(self) -> int: ...
    def get_packet_data_length(self, header: pyKORVA_PUBLIC, /) -> int: ...
    def listener(self) -> Korva_Status_t: ...
    def is_packet_broken(self, status: Korva_Status_t, /) -> bool: ...
    def is_crc_failed(self, status: Korva_Status_t, /) -> bool: ...
    def get_rx_buffer_size(self) -> int: ...
    @staticmethod
    def resolve_status(status: Korva_Status_t, /) -> str: ...
    def write(self, receiver_id: int, message_id: int, buffer: Sequence[int], len: int, /) -> Korva_Status_t: ...
    def start_write_queue(self, t: Korva_event_types, receiver_id: int, message_id: int, len: int,
                          count: int, /) -> Korva_Status_t: ...
    def write_public(self, message_id: int, buffer: Sequence[int], len: int, /) -> Korva_Status_t: ...
    def assign_new_id(self, id: int, /) -> None: ...
