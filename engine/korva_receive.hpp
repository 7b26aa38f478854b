// Receive path of Korva: the listener pulls one frame per call through the
// transport hooks, the parser checks it in place and notifies it, or hands a
// reserved request to the transmit path to be answered. Receiving calls into
// transmitting, never the other way round.
//
// A part of korva_engine.hpp, included at its end: it defines members of the
// class declared there.
#pragma once

#ifndef KORVA_ENGINE_PARTS
#error "korva_receive.hpp is a part of korva_engine.hpp; include korva_engine.hpp or korva.hpp instead"
#endif

#include <string.h>

template <class Address>
Korva_Status_t Korva<Address>::listener()
{
    if (port_available() < HEADER_SIZE) {
        return KORVA_STATUS_DEFAULT;
    }
    if (rx_buffer == nullptr) {
        return KORVA_STATUS_NULL_MESSAGE;
    }

    // Hunt one byte at a time so the start byte is the last one consumed.
    bool start_found = false;
    while (port_available() != 0) {
        if (port_read(rx_buffer, 1) != KORVA_STATUS_SUCCESS) {
            break;
        }
        if (rx_buffer[0] == MESSAGE_START) {
            start_found = true;
            break;
        }
    }

    uint8_t* const header_at = start_found ? rx_buffer + 1 : rx_buffer;
    const Korva_Status_t header_status = port_read(header_at, sizeof(Korva_header));
    uint16_t remaining = HEADER_SIZE;
    if (header_status == KORVA_STATUS_SUCCESS) {
        rx_flags = 0;
        rx_pos = 0;
        if (!start_found) {
            return KORVA_STATUS_START_BYTE_ERROR;
        }
        rx_pos = HEADER_SIZE;
        rx_flags |= RX_START;
        remaining = static_cast<uint16_t>(rx_buffer[1] + korva::FRAME_TRAILER_SIZE);
        rx_flags |= Address::is_for(rx_buffer[2], own_id()) ? RX_FOR_US : RX_OTHER;
    } else if (is_packet_broken(header_status)) {
        return header_status;
    }
    // A soft header failure (DEFAULT, PORT_BUSY, TIMEOUT) still reads a
    // header's worth of bytes; with no header pending the parser rejects them.

    uint8_t* const body_at = header_at + sizeof(Korva_header);
    const Korva_Status_t body_status = port_read(body_at, remaining);
    if (body_status != KORVA_STATUS_SUCCESS) {
        rx_flags = 0;
        return body_status;
    }
    return parse_message(body_at, remaining, false);
}

template <class Address>
Korva_Status_t Korva<Address>::handle_message_data(const uint8_t* data, size_t size, uint16_t len)
{
    if (data != nullptr && len > size) {
        return KORVA_STATUS_MESSAGE_LENGTH_ERROR;
    }
    return parse_message(data, len, true);
}

// `src` holds the `len` bytes after the header: body, crc hi, crc lo, end byte.
template <class Address>
Korva_Status_t Korva<Address>::parse_message(const uint8_t* src, uint16_t len, bool copy)
{
    if (src == nullptr) {
        return KORVA_STATUS_NULL_MESSAGE;
    }
    if (len == 0) {
        return KORVA_STATUS_MESSAGE_LENGTH_ERROR; // no end byte to look at
    }
    if (src[len - 1] != MESSAGE_END) {
        return reject_frame(KORVA_STATUS_END_BYTE_ERROR);
    }
    const Korva_Status_t structure = check_pending_header(len);
    if (structure != KORVA_STATUS_SUCCESS) {
        return reject_frame(structure);
    }
    rx_flags |= RX_CHECKED;

    const uint16_t body_len = static_cast<uint16_t>(len - korva::FRAME_TRAILER_SIZE);
    const uint16_t computed = crc16(src, body_len, crc16(rx_buffer, HEADER_SIZE, korva::CRC16_INIT));
    const uint16_t received = static_cast<uint16_t>((src[body_len] << 8) | src[body_len + 1]);
    const Korva_Status_t status = computed == received ? KORVA_STATUS_SUCCESS : KORVA_STATUS_CRC_ERROR;
    rx_flags |= RX_CRC;

    if (copy) {
        memmove(rx_buffer + rx_pos, src, body_len);
    }
    rx_pos = static_cast<uint16_t>(rx_pos + body_len);
    rx_flags |= RX_DATA;

    const uint8_t id_byte = rx_buffer[3];
    Korva_Status_t result = status;
    if (korva::is_reserved_request(id_byte)) {
        // Reserved requests are the engine's own business, never the application's.
        if (status == KORVA_STATUS_SUCCESS) {
            answer_reserved_request(Address::transmitter(rx_buffer[2]), korva::message_id_of(id_byte));
            result = KORVA_STATUS_DEFAULT;
        }
    } else {
        deliver(korva::message_type_of(id_byte), status);
    }
    rx_flags = 0;
    return result;
}

// A body is accepted only right after the listener accepted its header.
template <class Address>
Korva_Status_t Korva<Address>::check_pending_header(uint16_t len) const
{
    if (len != rx_buffer[1] + korva::FRAME_TRAILER_SIZE) {
        return KORVA_STATUS_MESSAGE_LENGTH_ERROR;
    }
    if (rx_pos != HEADER_SIZE) {
        return KORVA_STATUS_HEADER_LENGTH_ERROR;
    }
    if (!(rx_flags & RX_START)) {
        return KORVA_STATUS_START_BYTE_ERROR;
    }
    if (!(rx_flags & RX_FOR_US)) {
        return KORVA_STATUS_PORT_BUSY;
    }
    return KORVA_STATUS_SUCCESS;
}

template <class Address>
Korva_Status_t Korva<Address>::reject_frame(Korva_Status_t status)
{
    rx_flags = 0;
    return status;
}

template <class Address>
void Korva<Address>::deliver(uint8_t message_type, Korva_Status_t status)
{
    if (rx_callback_ptr != nullptr) {
        rx_callback_ptr(message_type, status, rx_buffer + 1);
    } else {
        rx_callback(message_type, status, rx_buffer + 1);
    }
}
