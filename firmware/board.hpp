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
// Bytes the receive interrupt holds while the main loop is busy: 5.5 ms of
// line at 115200 baud, more than checking a frame takes. Sending a long
// answer takes longer; a full ring masks the interrupt, and the UART's own
// buffer must then hold the rest (an emulator holds the line; a real UART
// overruns, so a peer streaming at full speed waits for the answers).
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
