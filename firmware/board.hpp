// What a board gives the node: start-up of its UART and clock, blocking
// transmit, the receive ring its UART interrupt fills, and a tick.
//
// Each board's driver implements these in boards/<board>/board.cpp.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "rx_ring.hpp"

namespace board {

// Ticks are milliseconds on every board.
constexpr unsigned long TICKS_PER_SECOND = 1000;
// Bytes the receive interrupt can hold while the main loop is busy (one
// frame's checksum and echo take well under a millisecond per 16 bytes).
constexpr uint8_t RX_RING_SIZE = 64;

using Ring = korva::fw::RxRing<RX_RING_SIZE>;
extern Ring uart_rx;

// UART at 115200 baud, 8N1, receive interrupt on; tick timer running.
void init();
// Returns once every byte is in the UART.
void uart_write(const uint8_t* data, size_t len);
// Unmasks the receive interrupt the driver masked when it found the ring full.
void uart_rx_resume();
// Milliseconds since init(); wraps.
unsigned long ticks();
// Sleeps until the next interrupt, unless received bytes are waiting.
void idle();

} // namespace board
