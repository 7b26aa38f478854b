// The engine object: one end of a framed-message link.
//
// Ownership and sizes. The owner supplies two buffers of KORVA_BUFFER_SIZE
// bytes (receive and transmit) that outlive the engine; the engine never
// allocates, frees or resizes memory. A null transmit buffer makes one-shot
// sends go out piece by piece (start byte, header, body, each padding byte,
// trailer) instead of as one composed frame. The engine holds pointers into
// its buffers, so it can be neither copied nor moved.
//
// Threads. None of the engine is thread-safe and it takes no lock: one thread
// at a time may call it, hooks included. It owns no thread, timer or queue.
//
// Hooks and re-entrancy.
// - port_write runs inside every send, and also inside listener() and
//   handle_message_data(): a reserved request (ids 60 to 63) is answered
//   there, at once or, while a streamed frame is open, right after that
//   frame ends. Held answers also go out after the next one-shot send; one
//   is held per requester (a later request replaces it), and
//   held_answer_count() tells how many wait. The receive path
//   (korva_receive.hpp) hands each reserved request to the transmit path
//   (korva_transmit.hpp), which answers or holds it: receiving calls into
//   transmitting, never the reverse.
// - port_read and port_available run only inside listener(). A read hook
//   may call handle_message_data(); the engine stays within its bounds, but
//   the frame the outer listener() was reading may then be rejected.
// - rx_callback (or rx_callback_ptr, which replaces it when set) receives
//   `header` == rx_buffer + 1: the three header bytes followed by the body,
//   valid only during the call. tx_callback_ptr is told the result of every
//   one-shot send and of a completed streamed frame; the virtual tx_callback
//   is never called by the engine.
// - A hook that throws leaves the operation at once; the exception reaches
//   the caller and the receive state may stay mid-frame until the next
//   listener() call resets it.
//
// Costs per frame. No allocation. Receiving: one port_available call per
// byte hunted plus one, one port_read per byte hunted, one for the header,
// one for the rest, and one CRC pass over header and body. Sending one-shot:
// one CRC pass and, per piece, up to `count` port_write calls. Answering a
// reserved request: one one-shot send with a single attempt.
//
// `count`, wherever an operation takes it, is the number of attempts per
// piece: the piece is handed to port_write until it returns
// KORVA_STATUS_SUCCESS or `count` attempts failed; the last failure is the
// result. A count of 0 makes no attempt and yields KORVA_STATUS_DEFAULT.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "korva_address.hpp"
#include "korva_crc.hpp"
#include "korva_frame.hpp"
#include "korva_status.hpp"

// Bytes in each of the two buffers. A firmware build may define a smaller
// size; the longest frame must still fit.
#ifndef KORVA_BUFFER_SIZE
#define KORVA_BUFFER_SIZE 1024
#endif
static_assert(KORVA_BUFFER_SIZE >= korva::MAX_FRAME_LENGTH, "each buffer must hold the longest frame");
static_assert(KORVA_BUFFER_SIZE <= 0xFFFF, "buffer sizes are kept in 16 bits");

// Receive progress (rx_flags): which checks the frame being read has passed.
enum Korva_rx_flags : uint8_t {
    RX_START = 0x01,
    RX_FOR_US = 0x02,
    RX_DATA = 0x04,
    RX_CRC = 0x08,
    RX_CHECKED = 0x10,
    RX_OTHER = 0x20, // a frame for another node is being read: sends are refused
};

// Transmit progress (tx_flags): which parts of the current frame went out.
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

    // `rx_buffer` and `tx_buffer` (null: piecewise sends) hold
    // KORVA_BUFFER_SIZE bytes each. An `id` above 15 becomes the public id.
    // constexpr, so that a node defined at namespace scope is set up at
    // compile time: no start-up constructor, no guard.
    constexpr Korva(uint8_t* rx_buffer_, uint8_t* tx_buffer_, uint8_t id)
        : header{0, Address::with_transmitter(0, Address::initial_id(id)), 0}, rx_buffer(rx_buffer_),
          tx_buffer(tx_buffer_), external_buffers(1)
    {
    }
    Korva(const Korva&) = delete;
    Korva& operator=(const Korva&) = delete;

    // --- Hooks, in slot order ----------------------------------------------
    // A received frame for this node or the public id (not a reserved
    // request), with KORVA_STATUS_SUCCESS or KORVA_STATUS_CRC_ERROR.
    virtual void rx_callback(uint8_t message_type, Korva_Status_t status, const uint8_t* header);
    // Never called by the engine; tx_callback_ptr is.
    virtual void tx_callback(uint8_t message_type, Korva_Status_t status, const uint8_t* header);
    // Put `len` bytes on the link; KORVA_STATUS_SUCCESS when all of them went.
    virtual Korva_Status_t port_write(const uint8_t* data, uint16_t len) = 0;
    // Read exactly `len` bytes into `dst`; KORVA_STATUS_SUCCESS when all came.
    virtual Korva_Status_t port_read(uint8_t* dst, uint16_t len) = 0;
    // Bytes that can be read now without waiting.
    virtual uint64_t port_available() = 0;

    // --- Transmit path -------------------------------------------------------
    // One frame of `message_type` with message id `message_id` (0 to 63) and
    // `len` body bytes to `receiver_id`: the one-shot send behind every
    // other. Returns MESSAGE_ID_ERROR for an id above 63 (nothing changed),
    // otherwise as write().
    Korva_Status_t send(Korva_message_types message_type, uint8_t receiver_id, uint8_t message_id, const uint8_t* data,
                        uint8_t len, uint8_t count);
    // One write-type frame with `len` body bytes to `receiver_id`. Returns
    // MESSAGE_ID_ERROR for an id of 60 or more (nothing changed), PORT_BUSY
    // while a frame for another node is being read, FAIL for null data with
    // a nonzero length, MESSAGE_LENGTH_ERROR when the frame does not fit the
    // fixed packet size or the transmit buffer, otherwise the write result.
    Korva_Status_t write(uint8_t receiver_id, uint8_t message_id, const uint8_t* data, uint8_t len, uint8_t count);
    // write() to the public id 15.
    Korva_Status_t write_public(uint8_t message_id, const uint8_t* data, uint8_t len, uint8_t count);
    // Opens a streamed frame that announces `len` body bytes: writes the
    // start byte, then the header. Returns MESSAGE_ID_ERROR (60 or more),
    // PORT_BUSY, the start byte's failure (nothing open), or the header's
    // result: the header counts as sent either way, so pushes may follow.
    Korva_Status_t start_write_queue(Korva_message_types message_type, uint8_t receiver_id, uint8_t message_id,
                                     uint8_t len, uint8_t count);
    // Writes the next `len` body bytes of the open streamed frame; they count
    // towards the checksum even when the write fails. Returns FAIL for null
    // data with a nonzero length or before the header went, START_BYTE_ERROR
    // with no frame open, otherwise the write result.
    Korva_Status_t push_to_queue(const uint8_t* data, uint8_t len, uint8_t count);
    // Writes the trailer and closes the streamed frame. Returns
    // START_BYTE_ERROR with no frame open, FAIL when no body byte went out,
    // DEFAULT for a count of 0, the trailer's failure (the frame stays open),
    // or SUCCESS: tx_callback_ptr is told, then held answers go out. The
    // announced length is not checked against the bytes pushed.
    Korva_Status_t finalize_queue(uint8_t count);
    // Gives up the open streamed frame without its trailer: the engine
    // forgets it, and the answers held while it was open go out. False when
    // no streamed frame was open (held answers go out all the same).
    bool abandon_stream();
    // The one-shot send of the frame `header` describes, as write() after
    // its id check; then answers held for a streamed frame go out.
    Korva_Status_t send_frame(const uint8_t* data, uint8_t len, uint8_t count);
    // The piecewise send that send_frame uses without a transmit buffer;
    // MESSAGE_LENGTH_ERROR or the first failing piece's result.
    Korva_Status_t send_frame_bytewise(const uint8_t* data, uint8_t len, uint8_t count);
    // One piece, up to `count` attempts (see the top of this file).
    Korva_Status_t write_retry(const uint8_t* data, uint16_t len, uint8_t count);

    // --- Receive path --------------------------------------------------------
    // Reads and handles at most one frame. Returns DEFAULT with fewer than 4
    // bytes available (nothing read), NULL_MESSAGE without a receive buffer,
    // START_BYTE_ERROR when the bytes ran out before a start byte, a read
    // hook's failure as is, else parse_message's result. A frame for another
    // node is read whole and returns PORT_BUSY; sends are refused meanwhile.
    Korva_Status_t listener();
    // Checks the `len` bytes after a header that listener() accepted (body,
    // crc hi, crc lo, end byte) and delivers the frame. Returns NULL_MESSAGE
    // for null `src`; MESSAGE_LENGTH_ERROR for a zero or wrong length;
    // END_BYTE_ERROR; HEADER_LENGTH_ERROR or START_BYTE_ERROR with no header
    // pending; PORT_BUSY for another node's frame; SUCCESS or CRC_ERROR for a
    // delivered frame; DEFAULT for a reserved request (answered or held).
    // `copy` moves the body into the receive buffer first. The receive state
    // is idle afterwards.
    Korva_Status_t parse_message(const uint8_t* src, uint16_t len, bool copy);
    // parse_message() on `len` bytes of a caller's buffer of `size` bytes;
    // MESSAGE_LENGTH_ERROR when `len` exceeds `size`.
    Korva_Status_t handle_message_data(const uint8_t* data, size_t size, uint16_t len);
    uint16_t get_rx_buffer_size() const { return rx_buf_size; }
    // FAIL and every status above it: the frame is lost.
    bool is_packet_broken(Korva_Status_t status) const { return status >= KORVA_STATUS_FAIL; }
    bool is_crc_failed(Korva_Status_t status) const { return status == KORVA_STATUS_CRC_ERROR; }

    // --- Settings and queries (they cannot fail) ----------------------------
    void assign_new_id(uint8_t id) { header.adr_byte = Address::with_transmitter(header.adr_byte, id); }
    // 0: frames as long as their body; otherwise every one-shot frame is
    // padded with zero bytes to this total length.
    void set_fixed_packet_size(uint16_t size) { fixed_packet_size = size; }
    uint64_t GET_KORVA_VERSION() const { return KORVA_VERSION; }
    uint8_t own_id() const { return Address::transmitter(header.adr_byte); }
    // A streamed frame has been started and not yet finished.
    bool stream_open() const { return (tx_flags & TX_START) && !(tx_flags & TX_END); }
    // Answers to reserved requests held back until the open streamed frame
    // ends: one per requester at most.
    uint8_t held_answer_count() const;

    // --- Fields --------------------------------------------------------------
    // The application may set these between operations.
    notify_fn rx_callback_ptr = nullptr; // replaces rx_callback when set
    notify_fn tx_callback_ptr = nullptr;
    // The rest is the engine's state and layout: read it, do not modify it.
    Korva_header header{}; // the outgoing frame's header; holds this node's id
    uint8_t* rx_buffer;    // start byte, header, body and trailer of the frame being read
    uint16_t rx_pos = 0;   // bytes of that frame in rx_buffer
    uint16_t rx_buf_size = KORVA_BUFFER_SIZE;
    uint8_t* tx_buffer; // the composed one-shot frame; null for piecewise sends
    uint16_t tx_buf_size = KORVA_BUFFER_SIZE;
    uint8_t external_buffers : 1;   // always 1: the buffers are the owner's
    uint8_t rx_flags = 0;           // Korva_rx_flags
    uint8_t tx_flags = 0;           // Korva_tx_flags
    uint16_t fixed_packet_size = 0; // set with set_fixed_packet_size()
    uint16_t queue_crc = 0;         // checksum so far of the open streamed frame

protected:
    // Never destroyed through this class (the hook table has no destructor
    // slot); a class that is deleted through a base pointer declares its own
    // virtual destructor.
    ~Korva() = default;

private:
    const uint8_t* header_bytes() const { return reinterpret_cast<const uint8_t*>(&header); }
    Korva_Status_t set_frame_length(uint8_t len, uint16_t& frame_len);
    Korva_Status_t send_one_frame(const uint8_t* data, uint8_t len, uint8_t count);
    Korva_Status_t send_frame_buffered(const uint8_t* data, uint8_t len, uint8_t count);
    void notify_sent(Korva_Status_t status);
    Korva_Status_t reject_frame(Korva_Status_t status);
    Korva_Status_t check_pending_header(uint16_t len) const;
    void deliver(uint8_t message_type, Korva_Status_t status);
    void answer_reserved_request(uint8_t requester, uint8_t message_id);
    void send_held_answers();
    void send_reserved_answer(uint8_t requester, uint8_t message_id);

    // Reserved requests that arrive while a streamed frame is open wait here
    // until the frame is complete: bit n set means requester n is owed the
    // answer to held_message_ids[n].
    uint16_t held_answers = 0;
    uint8_t held_message_ids[Address::ID_COUNT]{};
};

template <class Address>
void Korva<Address>::rx_callback(uint8_t, Korva_Status_t, const uint8_t*)
{
}

template <class Address>
void Korva<Address>::tx_callback(uint8_t, Korva_Status_t, const uint8_t*)
{
}

#define KORVA_ENGINE_PARTS
#include "korva_receive.hpp"
#include "korva_transmit.hpp"
#undef KORVA_ENGINE_PARTS
