// The engine object: one end of a framed-message link. It owns no memory and
// performs no I/O; the link is reached only through the virtual hooks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "korva_address.hpp"
#include "korva_crc.hpp"
#include "korva_frame.hpp"
#include "korva_status.hpp"

constexpr uint16_t KORVA_BUFFER_SIZE = 1024;

enum Korva_rx_flags : uint8_t {
    RX_START = 0x01,
    RX_FOR_US = 0x02,
    RX_DATA = 0x04,
    RX_CRC = 0x08,
    RX_CHECKED = 0x10,
    RX_OTHER = 0x20,
};

enum Korva_tx_flags : uint8_t {
    TX_START = 0x01,
    TX_HEADER = 0x02,
    TX_DATA = 0x04,
    TX_END = 0x08,
};

template <class Address>
class Korva {
public:
    using notify_fn = void (*)(uint8_t message_type, Korva_Status_t status, const uint8_t* header);

    // Both buffers must hold KORVA_BUFFER_SIZE bytes; a null tx_buffer makes
    // one-shot sends go out piece by piece.
    Korva(uint8_t* rx_buffer, uint8_t* tx_buffer, uint8_t id);
    virtual ~Korva() = default;

    // Hooks, in slot order.
    virtual void rx_callback(uint8_t message_type, Korva_Status_t status, const uint8_t* header);
    virtual void tx_callback(uint8_t message_type, Korva_Status_t status, const uint8_t* header);
    virtual Korva_Status_t port_write(const uint8_t* data, uint16_t len) = 0;
    virtual Korva_Status_t port_read(uint8_t* dst, uint16_t len) = 0;
    virtual uint64_t port_available() = 0;

    // Transmit path.
    Korva_Status_t write(uint8_t receiver_id, uint8_t message_id, const uint8_t* data, uint8_t len, uint8_t count);
    Korva_Status_t write_public(uint8_t message_id, const uint8_t* data, uint8_t len, uint8_t count);
    Korva_Status_t start_write_queue(Korva_message_types message_type, uint8_t receiver_id, uint8_t message_id,
                                     uint8_t len, uint8_t count);
    Korva_Status_t push_to_queue(const uint8_t* data, uint8_t len, uint8_t count);
    Korva_Status_t finalize_queue(uint8_t count);
    Korva_Status_t send_frame(const uint8_t* data, uint8_t len, uint8_t count);
    Korva_Status_t send_frame_bytewise(const uint8_t* data, uint8_t len, uint8_t count);
    Korva_Status_t write_retry(const uint8_t* data, uint16_t len, uint8_t count);

    // Receive path.
    Korva_Status_t listener();
    Korva_Status_t parse_message(const uint8_t* src, uint16_t len, bool copy);
    Korva_Status_t handle_message_data(const uint8_t* data, size_t size, uint16_t len);
    uint16_t get_rx_buffer_size() const { return rx_buf_size; }
    bool is_packet_broken(Korva_Status_t status) const { return status >= KORVA_STATUS_FAIL; }
    bool is_crc_failed(Korva_Status_t status) const { return status == KORVA_STATUS_CRC_ERROR; }

    // Settings and queries.
    void assign_new_id(uint8_t id) { header.adr_byte = Address::with_transmitter(header.adr_byte, id); }
    void set_fixed_packet_size(uint16_t size) { fixed_packet_size = size; }
    uint64_t GET_KORVA_VERSION() const { return KORVA_VERSION; }
    uint8_t own_id() const { return Address::transmitter(header.adr_byte); }

    notify_fn rx_callback_ptr = nullptr;
    notify_fn tx_callback_ptr = nullptr;
    Korva_header header{};
    uint8_t* rx_buffer;
    uint16_t rx_pos = 0;
    uint16_t rx_buf_size = KORVA_BUFFER_SIZE;
    uint8_t* tx_buffer;
    uint16_t tx_buf_size = KORVA_BUFFER_SIZE;
    uint8_t external_buffers : 1;
    uint8_t rx_flags = 0;
    uint8_t tx_flags = 0;
    uint16_t fixed_packet_size = 0;
    uint16_t queue_crc = 0;
    // Reserved requests that arrive while a streamed frame is open wait here
    // until the frame is complete: bit n set means requester n is owed the
    // answer to held_message_ids[n].
    uint16_t held_answers = 0;
    uint8_t held_message_ids[Address::ID_COUNT]{};

private:
    const uint8_t* header_bytes() const { return reinterpret_cast<const uint8_t*>(&header); }
    Korva_Status_t set_frame_length(uint8_t len, uint16_t& frame_len);
    Korva_Status_t send_one_frame(const uint8_t* data, uint8_t len, uint8_t count);
    Korva_Status_t send_frame_buffered(const uint8_t* data, uint8_t len, uint8_t count);
    void notify_sent(Korva_Status_t status);
    bool stream_open() const { return (tx_flags & TX_START) && !(tx_flags & TX_END); }
    Korva_Status_t reject_frame(Korva_Status_t status);
    Korva_Status_t check_pending_header(uint16_t len) const;
    void deliver(uint8_t message_type, Korva_Status_t status);
    void take_reserved_request();
    void answer_reserved(uint8_t requester, uint8_t message_id);
    void send_held_answers();
};

template <class Address>
Korva<Address>::Korva(uint8_t* rx_buffer_, uint8_t* tx_buffer_, uint8_t id)
    : rx_buffer(rx_buffer_), tx_buffer(tx_buffer_), external_buffers(1)
{
    header.adr_byte = Address::with_transmitter(0, Address::initial_id(id));
}

template <class Address>
void Korva<Address>::rx_callback(uint8_t, Korva_Status_t, const uint8_t*)
{
}

template <class Address>
void Korva<Address>::tx_callback(uint8_t, Korva_Status_t, const uint8_t*)
{
}

#include "korva_receive.hpp"
#include "korva_transmit.hpp"
