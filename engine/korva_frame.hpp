// The frame on the wire: its constants, message types, header record and
// length limits.
//
//   FB | len | tx<<4 | rx | id<<2 | type | body (len bytes) | crc hi | crc lo | BF
#pragma once

#include <stdint.h>

enum Korva_headers : uint8_t {
    MESSAGE_START = 0xFB,
    MESSAGE_END = 0xBF,
    PUBLIC_ID_8BIT = 0xFF,
    DEFAULT_ID_8BIT = 0xFE,
    PUBLIC_ID_4BIT = 0x0F,
    DEFAULT_ID_4BIT = 0x0E,
};

enum Korva_event_types : uint8_t {
    KV_WRITE_EVENT = 0,
    KV_REQUEST_EVENT = 1,
    KV_RESPONSE_EVENT = 2,
    KV_INDICATE_EVENT = 3,
};

// The message type a streamed send announces carries the same codes as the
// type field of a received frame.
using Korva_message_types = Korva_event_types;

// The three header bytes after the start byte, in wire order.
struct Korva_header {
    uint8_t len_byte;
    uint8_t adr_byte;
    uint8_t id_byte;
};
static_assert(sizeof(Korva_header) == 3, "the header record is sent as three raw bytes");

constexpr uint16_t HEADER_SIZE = 4;      // start byte + header record
constexpr uint16_t MAX_MSG_LENGTH = 255; // largest body the length byte can describe
constexpr uint64_t KORVA_VERSION = 100004;

// The engine's own helpers, beside the names above that every user sees.
namespace korva {

// The start byte as a one-byte piece, to checksum and write on its own.
constexpr uint8_t START_PIECE[1] = {MESSAGE_START};

constexpr uint16_t FRAME_TRAILER_SIZE = 3; // crc hi, crc lo, end byte
constexpr uint16_t FRAME_OVERHEAD = HEADER_SIZE + FRAME_TRAILER_SIZE;
constexpr uint16_t MAX_FRAME_LENGTH = MAX_MSG_LENGTH + FRAME_OVERHEAD;

constexpr uint8_t MESSAGE_TYPE_MASK = 0x03;
constexpr uint8_t MESSAGE_ID_SHIFT = 2;
constexpr uint8_t FIRST_RESERVED_ID = 60; // ids 60..63 are answered by the engine itself
constexpr uint8_t VERSION_REQUEST_ID = 63;
constexpr uint8_t LAST_MESSAGE_ID = 63; // six bits

constexpr uint8_t id_type_byte(uint8_t message_id, uint8_t message_type)
{
    return static_cast<uint8_t>((message_id << MESSAGE_ID_SHIFT) | (message_type & MESSAGE_TYPE_MASK));
}

constexpr uint8_t message_type_of(uint8_t id_byte) { return id_byte & MESSAGE_TYPE_MASK; }

constexpr uint8_t message_id_of(uint8_t id_byte) { return id_byte >> MESSAGE_ID_SHIFT; }

// A request with one of the reserved ids: the receiving engine answers it
// itself and never shows it to the application.
constexpr bool is_reserved_request(uint8_t id_byte)
{
    return message_type_of(id_byte) == KV_REQUEST_EVENT && message_id_of(id_byte) >= FIRST_RESERVED_ID;
}

} // namespace korva
