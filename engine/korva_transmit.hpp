// Transmit path of Korva: one-shot frames (composed whole, or piece by piece
// without a transmit buffer), streamed frames, and the answers to reserved
// requests, which wait while a streamed frame is open.
//
// A part of korva_engine.hpp, included at its end: it defines members of the
// class declared there.
#pragma once

#ifndef KORVA_ENGINE_PARTS
#error "korva_transmit.hpp is a part of korva_engine.hpp; include korva_engine.hpp or korva.hpp instead"
#endif

#include <string.h>

// Tries one piece up to `count` times; the last failure is returned.
template <class Address>
Korva_Status_t Korva<Address>::write_retry(const uint8_t* data, uint16_t len, uint8_t count)
{
    Korva_Status_t status = KORVA_STATUS_DEFAULT;
    for (uint8_t attempt = 0; attempt < count; ++attempt) {
        status = port_write(data, len);
        if (status == KORVA_STATUS_SUCCESS) {
            break;
        }
    }
    return status;
}

template <class Address>
Korva_Status_t Korva<Address>::send(Korva_message_types message_type, uint8_t receiver_id, uint8_t message_id,
                                    const uint8_t* data, uint8_t len, uint8_t count)
{
    if (message_id > korva::LAST_MESSAGE_ID) {
        return KORVA_STATUS_MESSAGE_ID_ERROR;
    }
    header.adr_byte = Address::with_receiver(header.adr_byte, receiver_id);
    header.id_byte = korva::id_type_byte(message_id, message_type);
    return send_frame(data, len, count);
}

// Applications write with ordinary ids only: 60 to 63 belong to the
// engines' own requests and answers.
template <class Address>
Korva_Status_t Korva<Address>::write(uint8_t receiver_id, uint8_t message_id, const uint8_t* data, uint8_t len,
                                     uint8_t count)
{
    if (message_id >= korva::FIRST_RESERVED_ID) {
        return KORVA_STATUS_MESSAGE_ID_ERROR;
    }
    return send(KV_WRITE_EVENT, receiver_id, message_id, data, len, count);
}

template <class Address>
Korva_Status_t Korva<Address>::write_public(uint8_t message_id, const uint8_t* data, uint8_t len, uint8_t count)
{
    return write(Address::PUBLIC_ID, message_id, data, len, count);
}

// Sets len_byte for a one-shot payload of `len` bytes and yields the frame's
// total length, padded to fixed_packet_size when one is set. A frame that
// cannot be described on the wire is refused.
template <class Address>
Korva_Status_t Korva<Address>::set_frame_length(uint8_t len, uint16_t& frame_len)
{
    header.len_byte = len;
    frame_len = static_cast<uint16_t>(len + korva::FRAME_OVERHEAD);
    if (fixed_packet_size == 0) {
        return KORVA_STATUS_SUCCESS;
    }
    if (fixed_packet_size < frame_len || fixed_packet_size > korva::MAX_FRAME_LENGTH) {
        return KORVA_STATUS_MESSAGE_LENGTH_ERROR;
    }
    header.len_byte = static_cast<uint8_t>(fixed_packet_size - korva::FRAME_OVERHEAD);
    frame_len = fixed_packet_size;
    return KORVA_STATUS_SUCCESS;
}

template <class Address>
void Korva<Address>::notify_sent(Korva_Status_t status)
{
    if (tx_callback_ptr != nullptr) {
        tx_callback_ptr(korva::message_type_of(header.id_byte), status, header_bytes());
    }
}

// A one-shot send that gets as far as resetting the transmit progress also
// clears the way for any answers held back while a streamed frame was open.
template <class Address>
Korva_Status_t Korva<Address>::send_frame(const uint8_t* data, uint8_t len, uint8_t count)
{
    if (rx_flags & RX_OTHER) {
        return KORVA_STATUS_PORT_BUSY;
    }
    if (data == nullptr && len != 0) {
        return KORVA_STATUS_FAIL;
    }
    const Korva_Status_t status = send_one_frame(data, len, count);
    send_held_answers();
    return status;
}

template <class Address>
Korva_Status_t Korva<Address>::send_one_frame(const uint8_t* data, uint8_t len, uint8_t count)
{
    if (rx_flags & RX_OTHER) {
        return KORVA_STATUS_PORT_BUSY;
    }
    tx_flags = 0;
    const Korva_Status_t status =
        tx_buffer == nullptr ? send_frame_bytewise(data, len, count) : send_frame_buffered(data, len, count);
    notify_sent(status);
    return status;
}

// Composes the whole frame in tx_buffer and hands it over in one piece.
template <class Address>
Korva_Status_t Korva<Address>::send_frame_buffered(const uint8_t* data, uint8_t len, uint8_t count)
{
    uint16_t frame_len = 0;
    const Korva_Status_t status = set_frame_length(len, frame_len);
    if (status != KORVA_STATUS_SUCCESS) {
        return status;
    }
    if (frame_len > tx_buf_size) {
        return KORVA_STATUS_MESSAGE_LENGTH_ERROR;
    }
    uint8_t* out = tx_buffer;
    *out++ = MESSAGE_START;
    tx_flags |= TX_START;
    memcpy(out, header_bytes(), sizeof(header));
    out += sizeof(header);
    tx_flags |= TX_HEADER;
    if (len != 0) {
        memcpy(out, data, len);
    }
    const uint16_t body_len = header.len_byte;
    memset(out + len, 0, body_len - len);
    out += body_len;
    tx_flags |= TX_DATA;
    const uint16_t crc = crc16(tx_buffer, HEADER_SIZE + body_len, korva::CRC16_INIT);
    *out++ = korva::crc_high(crc);
    *out++ = korva::crc_low(crc);
    *out = MESSAGE_END;
    tx_flags |= TX_END;
    return write_retry(tx_buffer, frame_len, count);
}

template <class Address>
Korva_Status_t Korva<Address>::send_frame_bytewise(const uint8_t* data, uint8_t len, uint8_t count)
{
    uint16_t frame_len = 0;
    Korva_Status_t status = set_frame_length(len, frame_len);
    if (status != KORVA_STATUS_SUCCESS) {
        return status;
    }
    static constexpr uint8_t padding = 0;

    uint16_t crc = crc16(korva::START_PIECE, sizeof(korva::START_PIECE), korva::CRC16_INIT);
    crc = crc16(header_bytes(), sizeof(header), crc);
    crc = crc16(data, len, crc);
    const uint16_t pad_count = header.len_byte - len;
    for (uint16_t i = 0; i < pad_count; ++i) {
        crc = crc16(&padding, 1, crc);
    }

    if ((status = write_retry(korva::START_PIECE, sizeof(korva::START_PIECE), count)) != KORVA_STATUS_SUCCESS) {
        return status;
    }
    tx_flags |= TX_START;
    if ((status = write_retry(header_bytes(), sizeof(header), count)) != KORVA_STATUS_SUCCESS) {
        return status;
    }
    tx_flags |= TX_HEADER;
    if (len > 0 && (status = write_retry(data, len, count)) != KORVA_STATUS_SUCCESS) {
        return status;
    }
    for (uint16_t i = 0; i < pad_count; ++i) {
        if ((status = write_retry(&padding, 1, count)) != KORVA_STATUS_SUCCESS) {
            return status;
        }
    }
    tx_flags |= TX_DATA | TX_END;
    const uint8_t trailer[korva::FRAME_TRAILER_SIZE] = {korva::crc_high(crc), korva::crc_low(crc), MESSAGE_END};
    return write_retry(trailer, sizeof(trailer), count);
}

template <class Address>
Korva_Status_t Korva<Address>::start_write_queue(Korva_message_types message_type, uint8_t receiver_id,
                                                 uint8_t message_id, uint8_t len, uint8_t count)
{
    if (message_id >= korva::FIRST_RESERVED_ID) {
        return KORVA_STATUS_MESSAGE_ID_ERROR;
    }
    header.adr_byte = Address::with_receiver(header.adr_byte, receiver_id);
    header.id_byte = korva::id_type_byte(message_id, message_type);
    header.len_byte = len;
    if (rx_flags & RX_OTHER) {
        return KORVA_STATUS_PORT_BUSY;
    }
    tx_flags = 0;
    queue_crc = crc16(korva::START_PIECE, sizeof(korva::START_PIECE), korva::CRC16_INIT);
    const Korva_Status_t started = write_retry(korva::START_PIECE, sizeof(korva::START_PIECE), count);
    if (started != KORVA_STATUS_SUCCESS) {
        return started;
    }
    tx_flags |= TX_START;
    queue_crc = crc16(header_bytes(), sizeof(header), queue_crc);
    const Korva_Status_t status = write_retry(header_bytes(), sizeof(header), count);
    // The header counts as sent either way, so the caller may push on; from
    // here len_byte tallies the pushed payload.
    tx_flags |= TX_HEADER;
    header.len_byte = 0;
    return status;
}

template <class Address>
Korva_Status_t Korva<Address>::push_to_queue(const uint8_t* data, uint8_t len, uint8_t count)
{
    if (data == nullptr && len != 0) {
        return KORVA_STATUS_FAIL;
    }
    if (!(tx_flags & TX_START)) {
        return KORVA_STATUS_START_BYTE_ERROR;
    }
    if (!(tx_flags & TX_HEADER)) {
        return KORVA_STATUS_FAIL;
    }
    // Counted before the write: a failed piece must not be pushed again as is.
    header.len_byte = static_cast<uint8_t>(header.len_byte + len);
    queue_crc = crc16(data, len, queue_crc);
    const Korva_Status_t status = write_retry(data, len, count);
    if (status == KORVA_STATUS_SUCCESS) {
        tx_flags |= TX_DATA;
    }
    return status;
}

template <class Address>
Korva_Status_t Korva<Address>::finalize_queue(uint8_t count)
{
    if (!(tx_flags & TX_START)) {
        return KORVA_STATUS_START_BYTE_ERROR;
    }
    if (!(tx_flags & TX_HEADER) || !(tx_flags & TX_DATA) || header.len_byte == 0) {
        return KORVA_STATUS_FAIL;
    }
    const uint8_t trailer[korva::FRAME_TRAILER_SIZE] = {korva::crc_high(queue_crc), korva::crc_low(queue_crc),
                                                        MESSAGE_END};
    if (count == 0) {
        return KORVA_STATUS_DEFAULT;
    }
    const Korva_Status_t status = write_retry(trailer, sizeof(trailer), count);
    if (status != KORVA_STATUS_SUCCESS) {
        return status;
    }
    tx_flags |= TX_END;
    notify_sent(KORVA_STATUS_SUCCESS);
    tx_flags = 0;
    send_held_answers();
    return KORVA_STATUS_SUCCESS;
}

template <class Address>
bool Korva<Address>::abandon_stream()
{
    const bool was_open = stream_open();
    tx_flags = 0;
    send_held_answers();
    return was_open;
}

// --- Answers to reserved requests ---------------------------------------------

// An answer sent now would land inside the streamed frame on the wire, so
// while one is open the request is held (a later one from the same node
// replaces it) and answered when the frame is complete.
template <class Address>
void Korva<Address>::answer_reserved_request(uint8_t requester, uint8_t message_id)
{
    if (stream_open()) {
        held_answers = static_cast<uint16_t>(held_answers | (1u << requester));
        held_message_ids[requester] = message_id;
        return;
    }
    send_held_answers();
    send_reserved_answer(requester, message_id);
}

// Held answers go out in ascending requester order, one attempt each.
template <class Address>
void Korva<Address>::send_held_answers()
{
    for (uint8_t requester = 0; held_answers != 0; ++requester) {
        const uint16_t bit = static_cast<uint16_t>(1u << requester);
        if (held_answers & bit) {
            held_answers = static_cast<uint16_t>(held_answers & ~bit);
            send_reserved_answer(requester, held_message_ids[requester]);
        }
    }
}

template <class Address>
void Korva<Address>::send_reserved_answer(uint8_t requester, uint8_t message_id)
{
    static constexpr uint8_t version[4] = {
        static_cast<uint8_t>(KORVA_VERSION),
        static_cast<uint8_t>(KORVA_VERSION >> 8),
        static_cast<uint8_t>(KORVA_VERSION >> 16),
        static_cast<uint8_t>(KORVA_VERSION >> 24),
    };
    header.id_byte = korva::id_type_byte(message_id, KV_RESPONSE_EVENT);
    header.adr_byte = Address::with_receiver(header.adr_byte, requester);
    // One attempt, and nobody to report a failure to: the requester asks again.
    if (message_id == korva::VERSION_REQUEST_ID) {
        static_cast<void>(send_one_frame(version, sizeof(version), 1));
    } else {
        static_cast<void>(send_one_frame(nullptr, 0, 1));
    }
}

// Counted from the held set itself, so the count cannot drift from it.
template <class Address>
uint8_t Korva<Address>::held_answer_count() const
{
    uint8_t count = 0;
    for (uint16_t held = held_answers; held != 0; held = static_cast<uint16_t>(held & (held - 1))) {
        ++count;
    }
    return count;
}
