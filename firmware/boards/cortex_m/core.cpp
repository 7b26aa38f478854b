// The millisecond tick and the sleep shared by the Cortex-M boards.
#include "core.hpp"

#include "board.hpp"

namespace {

volatile unsigned long milliseconds = 0;

} // namespace

extern "C" void SysTick_Handler() { milliseconds = milliseconds + 1; }

namespace board {

// A 32-bit load is atomic on these cores.
unsigned long ticks() { return milliseconds; }

// With interrupts masked, a byte that arrives after the check still ends the
// sleep: WFI wakes on a pending interrupt whatever PRIMASK says.
void idle()
{
    __asm__ volatile("cpsid i" ::: "memory");
    if (uart_rx.empty()) {
        __asm__ volatile("wfi" ::: "memory");
    }
    __asm__ volatile("cpsie i" ::: "memory");
}

} // namespace board
