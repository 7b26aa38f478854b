// An engine on a board's UART, for firmware.
//
// Receiving: the UART interrupt puts bytes in the board's ring; service()
// moves them into the link with the board's tick, and the link runs
// listener() on every whole frame, scans the bytes of a rejected frame
// again from the byte after its start byte, and gives up the start byte of
// a fragment that stayed quiet for `gap` ticks. Sending: the engine's
// writes go straight to the board's blocking transmit, so they cannot fail.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "board.hpp"
#include "engine/korva.hpp"
#include "link/korva_link.hpp"

namespace korva {
namespace fw {

template <size_t Capacity>
class Port : public Korva<korva_public_4bit_adr> {
public:
    using Link = link::Link<Capacity>;

    // The buffers and the link are the caller's globals, all zero, so they
    // stay in .bss; only the node itself, whose hook table pointer is not
    // zero, takes room in .data and in flash.
    constexpr Port(uint8_t id, uint8_t* rx_buffer_, uint8_t* tx_buffer_, Link& link)
        : Korva(rx_buffer_, tx_buffer_, id), link_(link)
    {
    }

    Korva_Status_t port_write(const uint8_t* data, uint16_t len) override
    {
        board::uart_write(data, len);
        return KORVA_STATUS_SUCCESS;
    }
    Korva_Status_t port_read(uint8_t* dst, uint16_t len) override { return link_.port_read(dst, len); }
    uint64_t port_available() override { return link_.port_available(); }

    // Hands every received byte to the link and runs the listener on every
    // whole frame, until the ring is empty or the link full.
    void service();
    // The main loop: serves the line for good, sleeping between interrupts;
    // a fragment quiet for `stale_after` ticks loses its start byte. `each`
    // runs with the tick after every service, for a node's own timed work.
    template <class Each>
    [[noreturn]] void run(link::Tick stale_after, Each each);
    [[noreturn]] void run(link::Tick stale_after)
    {
        run(stale_after, [](unsigned long) {});
    }

private:
    bool take_received();

    Link& link_;
};

template <size_t Capacity>
void Port<Capacity>::service()
{
    bool took = true;
    while (took) {
        took = take_received();
        static_cast<void>(link_.service(*this, board::ticks())); // statuses are counted in link_.stats
    }
    board::uart_rx_resume();
}

template <size_t Capacity>
bool Port<Capacity>::take_received()
{
    bool took = false;
    size_t len = 0;
    while (const uint8_t* bytes = board::uart_rx.readable(len)) {
        const size_t taken = link_.feed(bytes, len, board::ticks());
        board::uart_rx.consume(taken);
        took = took || taken != 0;
        if (taken < len) {
            break;
        }
    }
    return took;
}

template <size_t Capacity>
template <class Each>
void Port<Capacity>::run(link::Tick stale_after, Each each)
{
    link_.gap = stale_after;
    for (;;) {
        service();
        each(board::ticks());
        board::idle();
    }
}

} // namespace fw
} // namespace korva
