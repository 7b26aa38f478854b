// TI Stellaris LM3S6965 evaluation board (Cortex-M3): UART0 is an ARM PL011
// on the board's serial port; the core runs from the 12 MHz crystal.
#include "board.hpp"
#include "core.hpp"

namespace {

using cortex_m::reg;

constexpr uint32_t CORE_HZ = 12000000;
constexpr uint32_t BAUD = 115200;
constexpr unsigned UART0_IRQ = 5;

constexpr uintptr_t SYSCTL_RCGC1 = 0x400FE104;
constexpr uint32_t RCGC1_UART0 = 1u << 0;

constexpr uintptr_t UART0 = 0x4000C000;
constexpr uintptr_t UART_DR = UART0 + 0x000;
constexpr uintptr_t UART_FR = UART0 + 0x018;
constexpr uintptr_t UART_IBRD = UART0 + 0x024;
constexpr uintptr_t UART_FBRD = UART0 + 0x028;
constexpr uintptr_t UART_LCRH = UART0 + 0x02C;
constexpr uintptr_t UART_CR = UART0 + 0x030;
constexpr uintptr_t UART_IMSC = UART0 + 0x038;
constexpr uint32_t FR_RXFE = 1u << 4;
constexpr uint32_t FR_TXFF = 1u << 5;
constexpr uint32_t LCRH_FIFO_ON = 1u << 4;
constexpr uint32_t LCRH_8_BITS = 3u << 5;
constexpr uint32_t CR_ENABLE = (1u << 0) | (1u << 8) | (1u << 9); // UART, transmitter, receiver
constexpr uint32_t IMSC_RX = (1u << 4) | (1u << 6);               // FIFO level and receive timeout

// The divisor in 1/64ths: 16 samples per bit.
constexpr uint32_t DIVISOR_64THS = (CORE_HZ * 4 + BAUD / 2) / BAUD;

} // namespace

extern "C" void UART0_Handler()
{
    while (!(reg(UART_FR) & FR_RXFE)) {
        if (board::uart_rx.full()) {
            reg(UART_IMSC) = 0; // the byte waits in the FIFO until there is room
            return;
        }
        board::uart_rx.push(static_cast<uint8_t>(reg(UART_DR)));
    }
}

extern "C" __attribute__((section(".isr_vector"), used))
const cortex_m::Handler vector_table[cortex_m::CORE_VECTORS + UART0_IRQ + 1] = {
    reinterpret_cast<cortex_m::Handler>(_estack),
    Reset_Handler,
    Default_Handler, // NMI
    Default_Handler, // HardFault
    Default_Handler, // MemManage
    Default_Handler, // BusFault
    Default_Handler, // UsageFault
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    Default_Handler, // SVCall
    Default_Handler, // DebugMonitor
    nullptr,
    Default_Handler, // PendSV
    SysTick_Handler,
    Default_Handler, // GPIO A
    Default_Handler, // GPIO B
    Default_Handler, // GPIO C
    Default_Handler, // GPIO D
    Default_Handler, // GPIO E
    UART0_Handler,
};

namespace board {

Ring uart_rx;

void init()
{
    reg(SYSCTL_RCGC1) = reg(SYSCTL_RCGC1) | RCGC1_UART0;
    reg(UART_CR) = 0;
    reg(UART_IBRD) = DIVISOR_64THS / 64;
    reg(UART_FBRD) = DIVISOR_64THS % 64;
    reg(UART_LCRH) = LCRH_8_BITS | LCRH_FIFO_ON;
    reg(UART_IMSC) = IMSC_RX;
    reg(UART_CR) = CR_ENABLE;
    cortex_m::enable_irq(UART0_IRQ);
    cortex_m::start_tick(CORE_HZ);
}

void uart_write(const uint8_t* data, size_t len)
{
    for (size_t i = 0; i < len; ++i) {
        while (reg(UART_FR) & FR_TXFF) {
        }
        reg(UART_DR) = data[i];
    }
}

void uart_rx_resume() { reg(UART_IMSC) = IMSC_RX; }

} // namespace board
