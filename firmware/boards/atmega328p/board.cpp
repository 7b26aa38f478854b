// ATmega328P at 16 MHz (an Arduino Uno's part): USART0 on the board's serial
// port, Timer0 as the millisecond tick. avr-libc brings the start-up code,
// the vector table and the linker script; the stack is painted here.
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/sleep.h>
#include <util/atomic.h>

#include "board.hpp"

namespace {

constexpr unsigned long CPU_HZ = 16000000;
constexpr unsigned long BAUD = 115200;
// Double speed (8 samples per bit) keeps 115200 baud within 2.1 %.
constexpr uint16_t UBRR_VALUE = static_cast<uint16_t>((CPU_HZ + 4 * BAUD) / (8 * BAUD) - 1);
constexpr uint8_t TIMER_PRESCALE_BITS = _BV(CS01) | _BV(CS00); // clock / 64
constexpr uint8_t TIMER_TOP = CPU_HZ / 64 / board::TICKS_PER_SECOND - 1;
constexpr uint8_t STACK_PAINT = 0xC5;

volatile unsigned long milliseconds = 0;

} // namespace

extern "C" {
extern uint8_t _end;    // end of .bss: the stack may grow down to here
extern uint8_t __stack; // top of RAM
void paint_stack() __attribute__((naked, used, section(".init3")));
}

// Runs before anything is pushed: every byte from .bss's end to the top of
// RAM is free stack.
void paint_stack()
{
    for (uint8_t* byte = &_end; byte <= &__stack; ++byte) {
        *byte = STACK_PAINT;
    }
}

ISR(USART_RX_vect)
{
    if (board::uart_rx.full()) {
        UCSR0B &= static_cast<uint8_t>(~_BV(RXCIE0)); // the byte waits in the USART until there is room
        return;
    }
    board::uart_rx.push(UDR0);
}

ISR(TIMER0_COMPA_vect) { milliseconds = milliseconds + 1; }

namespace board {

Ring uart_rx;

void init()
{
    UBRR0 = UBRR_VALUE;
    UCSR0A = _BV(U2X0);
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
    UCSR0B = _BV(RXEN0) | _BV(TXEN0) | _BV(RXCIE0);
    TCCR0A = _BV(WGM01);
    OCR0A = TIMER_TOP;
    TCCR0B = TIMER_PRESCALE_BITS;
    TIMSK0 = _BV(OCIE0A);
    set_sleep_mode(SLEEP_MODE_IDLE);
    sei();
}

void uart_write(const uint8_t* data, size_t len)
{
    for (size_t i = 0; i < len; ++i) {
        loop_until_bit_is_set(UCSR0A, UDRE0);
        UDR0 = data[i];
    }
}

void uart_rx_resume() { UCSR0B |= _BV(RXCIE0); }

unsigned long ticks()
{
    unsigned long now;
    ATOMIC_BLOCK(ATOMIC_RESTORESTATE) { now = milliseconds; }
    return now;
}

// sei() takes effect after the next instruction, so a byte arriving after
// the check still wakes the sleep.
void idle()
{
    cli();
    if (uart_rx.empty()) {
        sleep_enable();
        sei();
        sleep_cpu();
        sleep_disable();
    }
    sei();
}

} // namespace board
