// Runs an ATmega328P image in simavr with USART0 on a pseudo-terminal, until
// SIGTERM or SIGINT.
//
//     simavr_pty IMAGE.elf [STACK_BOTTOM]
//
// Prints "uart0 on /dev/pts/N" once the terminal is there. With
// STACK_BOTTOM (the image's `_end` as avr-nm shows it), prints on exit
// "stack high-water: N bytes": the bytes below the top of RAM that no
// longer hold the paint the image's start-up code put there.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <avr_uart.h>
#include <sim_avr.h>
#include <sim_elf.h>
#include <uart_pty.h>
}

namespace {

constexpr const char* MCU = "atmega328p";
constexpr uint32_t CPU_HZ = 16000000;
constexpr uint8_t STACK_PAINT = 0xC5;
// avr-nm shows data addresses 0x800000 above the data space they are in.
constexpr unsigned long DATA_SPACE_MASK = 0xFFFF;

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

unsigned stack_high_water(const avr_t* avr, unsigned long bottom)
{
    unsigned long untouched = bottom;
    while (untouched <= avr->ramend && avr->data[untouched] == STACK_PAINT) {
        ++untouched;
    }
    return static_cast<unsigned>(avr->ramend + 1 - untouched);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s IMAGE.elf [STACK_BOTTOM]\n", argv[0]);
        return 2;
    }
    elf_firmware_t image{};
    if (elf_read_firmware(argv[1], &image) != 0) {
        std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
        return 1;
    }
    std::strncpy(image.mmcu, MCU, sizeof(image.mmcu) - 1);
    image.frequency = CPU_HZ;

    avr_t* avr = avr_make_mcu_by_name(MCU);
    if (avr == nullptr || avr_init(avr) != 0) {
        std::fprintf(stderr, "%s: simavr does not know %s\n", argv[0], MCU);
        return 1;
    }
    avr_load_firmware(avr, &image);

    uart_pty_t uart{};
    uart_pty_init(avr, &uart);
    uart_pty_connect(&uart, '0');
    // simavr sleeps when the program polls the UART's status, which the
    // transmit loop does for every byte: the pauses would split frames.
    uint32_t flags = 0;
    avr_ioctl(avr, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
    flags &= ~static_cast<uint32_t>(AVR_UART_FLAG_POLL_SLEEP);
    avr_ioctl(avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
    std::printf("uart0 on %s\n", uart.pty.slavename);
    std::fflush(stdout);

    std::signal(SIGTERM, request_stop);
    std::signal(SIGINT, request_stop);
    int state = cpu_Running;
    while (!stop_requested && state != cpu_Done && state != cpu_Crashed) {
        state = avr_run(avr);
    }
    if (argc == 3) {
        std::printf("stack high-water: %u bytes\n",
                    stack_high_water(avr, std::strtoul(argv[2], nullptr, 16) & DATA_SPACE_MASK));
    }
    // The terminal's thread may be blocked on it for good: the process's end
    // stops it, and closes the terminal.
    std::fflush(stdout);
    return state == cpu_Crashed ? 1 : 0;
}
