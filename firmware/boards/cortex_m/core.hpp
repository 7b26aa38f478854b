// The parts every Cortex-M core has: the interrupt controller, SysTick as
// the millisecond tick, and the vector table's layout.
#pragma once

#include <stdint.h>

#include "board.hpp"

namespace cortex_m {

constexpr uint32_t STACK_PAINT = 0xA5A5A5A5;

using Handler = void (*)();
// The sixteen core entries, then the board's interrupts from number 0.
constexpr unsigned CORE_VECTORS = 16;
constexpr unsigned SYSTICK_VECTOR = 15;

inline volatile uint32_t& reg(uintptr_t address) { return *reinterpret_cast<volatile uint32_t*>(address); }

constexpr uintptr_t NVIC_ISER = 0xE000E100;
constexpr uintptr_t SYST_CSR = 0xE000E010;
constexpr uintptr_t SYST_RVR = 0xE000E014;
constexpr uintptr_t SYST_CVR = 0xE000E018;
constexpr uint32_t SYST_ENABLE = 1u << 0;
constexpr uint32_t SYST_TICKINT = 1u << 1;
constexpr uint32_t SYST_CORE_CLOCK = 1u << 2;

inline void enable_irq(unsigned irq) { reg(NVIC_ISER) = 1u << irq; }

// SysTick interrupts every millisecond of a core clocked at `core_hz`.
// Inline, so that the compiler does the division: the M0 has no divide
// instruction, and the library's would cost more than the rest of the board.
inline void start_tick(uint32_t core_hz)
{
    reg(SYST_RVR) = core_hz / board::TICKS_PER_SECOND - 1;
    reg(SYST_CVR) = 0;
    reg(SYST_CSR) = SYST_ENABLE | SYST_TICKINT | SYST_CORE_CLOCK;
}

} // namespace cortex_m

extern "C" {
extern uint32_t _estack[];
[[noreturn]] void Reset_Handler();
void Default_Handler();
void SysTick_Handler();
}
