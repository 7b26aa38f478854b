// BBC micro:bit (Nordic nRF51822, Cortex-M0): the UART on pins 24 (TX) and
// 25 (RX), the USB serial port of the board; the core runs at 16 MHz.
#include "board.hpp"
#include "core.hpp"

namespace {

using cortex_m::reg;

constexpr uint32_t CORE_HZ = 16000000;
constexpr unsigned UART0_IRQ = 2;
constexpr uint32_t TX_PIN = 24;
constexpr uint32_t RX_PIN = 25;

constexpr uintptr_t UART0 = 0x40002000;
constexpr uintptr_t TASKS_STARTRX = UART0 + 0x000;
constexpr uintptr_t TASKS_STARTTX = UART0 + 0x008;
constexpr uintptr_t EVENTS_RXDRDY = UART0 + 0x108;
constexpr uintptr_t EVENTS_TXDRDY = UART0 + 0x11C;
constexpr uintptr_t INTENSET = UART0 + 0x304;
constexpr uintptr_t INTENCLR = UART0 + 0x308;
constexpr uintptr_t ENABLE = UART0 + 0x500;
constexpr uintptr_t PSELTXD = UART0 + 0x50C;
constexpr uintptr_t PSELRXD = UART0 + 0x514;
constexpr uintptr_t RXD = UART0 + 0x518;
constexpr uintptr_t TXD = UART0 + 0x51C;
constexpr uintptr_t BAUDRATE = UART0 + 0x524;
constexpr uint32_t ENABLE_UART = 4;
constexpr uint32_t BAUD_115200 = 0x01D7E000;
constexpr uint32_t INT_RXDRDY = 1u << 2;

} // namespace

// The event is cleared before RXD is read: reading RXD raises it again
// while more bytes wait in the UART.
extern "C" void UART0_IRQHandler()
{
    while (reg(EVENTS_RXDRDY)) {
        if (board::uart_rx.full()) {
            reg(INTENCLR) = INT_RXDRDY; // the byte waits in the UART until there is room
            return;
        }
        reg(EVENTS_RXDRDY) = 0;
        board::uart_rx.push(static_cast<uint8_t>(reg(RXD)));
    }
}

extern "C" __attribute__((section(".isr_vector"), used))
const cortex_m::Handler vector_table[cortex_m::CORE_VECTORS + UART0_IRQ + 1] = {
    reinterpret_cast<cortex_m::Handler>(_estack),
    Reset_Handler,
    Default_Handler, // NMI
    Default_Handler, // HardFault
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    Default_Handler, // SVCall
    nullptr,
    nullptr,
    Default_Handler, // PendSV
    SysTick_Handler,
    Default_Handler, // POWER_CLOCK
    Default_Handler, // RADIO
    UART0_IRQHandler,
};

namespace board {

Ring uart_rx;

void init()
{
    reg(PSELTXD) = TX_PIN;
    reg(PSELRXD) = RX_PIN;
    reg(BAUDRATE) = BAUD_115200;
    reg(ENABLE) = ENABLE_UART;
    reg(TASKS_STARTTX) = 1;
    reg(TASKS_STARTRX) = 1;
    reg(INTENSET) = INT_RXDRDY;
    cortex_m::enable_irq(UART0_IRQ);
    cortex_m::start_tick(CORE_HZ);
}

void uart_write(const uint8_t* data, size_t len)
{
    for (size_t i = 0; i < len; ++i) {
        reg(EVENTS_TXDRDY) = 0;
        reg(TXD) = data[i];
        while (!reg(EVENTS_TXDRDY)) {
        }
    }
}

void uart_rx_resume() { reg(INTENSET) = INT_RXDRDY; }

} // namespace board
