// Reset handler of the Cortex-M boards: sets memory up as C++ expects it,
// paints the free stack so its high-water mark can be read later, and runs
// main(). There are no constructors to call: the linker script refuses an
// image that would need one.
#include <stdint.h>

#include "core.hpp"

extern "C" {
extern uint32_t _sidata[], _sdata[], _edata[], _sbss[], _ebss[];
int main();
void __cxa_pure_virtual();
}

namespace {

uint32_t* stack_pointer()
{
    uint32_t* sp;
    __asm__ volatile("mov %0, sp" : "=r"(sp));
    return sp;
}

} // namespace

extern "C" [[noreturn]] void Reset_Handler()
{
    for (uint32_t *from = _sidata, *to = _sdata; to < _edata;) {
        *to++ = *from++;
    }
    for (uint32_t* to = _sbss; to < _ebss;) {
        *to++ = 0;
    }
    // Everything between .bss and the stack in use is free stack.
    for (volatile uint32_t* to = _ebss; to < stack_pointer();) {
        *to++ = cortex_m::STACK_PAINT;
    }
    main();
    for (;;) {
    }
}

// An unexpected interrupt or fault stops here, where a debugger finds it.
extern "C" void Default_Handler()
{
    for (;;) {
    }
}

// Reached only through a broken object; the abstract engine's table names it.
extern "C" void __cxa_pure_virtual() { Default_Handler(); }
