"""Footprint of the echo node on each board, and of the code a schema's
header adds.

    footprint.py FIRMWARE_DIR SIMAVR_PTY           report, stack included
    footprint.py --check FIRMWARE_DIR              limits of the M0+ node and
                                                   the schema code budget

Flash is text + data and static RAM data + bss, as the toolchain's `size`
reports them. The engine's own bytes are the code of the engine's symbols
(the engine class and the checksum; what the compiler inlined into the port
is not counted). The stack high-water is read after a workload, from the
paint the start-up code puts on the free stack: through QEMU's monitor for
the Cortex-M boards, from the simavr runner for the AVR.

A message's schema code is what its pack and unpack add to a firmware that
uses each once: the functions of the fixture probe (tests/schema/
fixture_probe.c) that receive and send the message, minus the same
functions built calling opaque functions instead. The probe's data and bss
are the RAM the generated code adds.
"""

import argparse
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

from emulators import Emulator

BOARDS = ("lm3s6965evb", "microbit", "atmega328p")
TOOL_PREFIX = {"lm3s6965evb": "arm-none-eabi-", "microbit": "arm-none-eabi-", "atmega328p": "avr-"}
# The reference node: Cortex-M0+ with 262-byte buffers.
LIMITED_BOARD = "microbit"
FLASH_LIMIT = 2800
RAM_LIMIT = 1200
ENGINE_SYMBOL = re.compile(r"^(Korva<|crc16\()")
CORTEX_STACK_PAINT = 0xA5A5A5A5
MONITOR_TIMEOUT = 10.0
HOST_ID = 3
NODE_ID = 14
FIRST_ANSWER_TIMEOUT = 30.0
RETRY_INTERVAL = 0.25
ANSWER_TIMEOUT = 5.0
SCHEMA_PROBE = "libkorva_schema_probe.a"
SCHEMA_PROBE_OPAQUE = "libkorva_schema_probe_opaque.a"
PROBE_FUNCTION = re.compile(r"^(\w+)_(received|sent|pack|unpack)$")
# Flash for pack + unpack of the fixture's typical message, on the two boards
# the figures are quoted for; no RAM at all on any board.
SCHEMA_BUDGET_MESSAGE = "fixture_status"
SCHEMA_FLASH_BUDGET = {"atmega328p": 220, "microbit": 160}
SENSOR_IMAGE = "korva_sensor.elf"


def image_of(firmware_dir, board):
    return os.path.join(firmware_dir, board, "korva_node.elf")


def tool(board, name):
    return TOOL_PREFIX[board] + name


def sizes(board, image):
    """(flash, static RAM) in bytes; an archive's members summed."""
    out = subprocess.run([tool(board, "size"), image], stdout=subprocess.PIPE, universal_newlines=True,
                         check=True).stdout
    flash = ram = 0
    for line in out.splitlines()[1:]:
        text, data, bss = (int(word) for word in line.split()[:3])
        flash, ram = flash + text + data, ram + data + bss
    return flash, ram


def symbols(board, image):
    """{demangled name: (address, size)} of the image's sized symbols."""
    out = subprocess.run([tool(board, "nm"), "-C", "-S", image], stdout=subprocess.PIPE,
                         universal_newlines=True, check=True).stdout
    table = {}
    for line in out.splitlines():
        parts = line.split(maxsplit=3)
        if len(parts) == 4:
            table[parts[3]] = (int(parts[0], 16), int(parts[1], 16))
    return table


def addresses(board, image):
    """{name: address} of every symbol, sized or not."""
    out = subprocess.run([tool(board, "nm"), image], stdout=subprocess.PIPE, universal_newlines=True,
                         check=True).stdout
    return {parts[2]: int(parts[0], 16) for parts in (line.split() for line in out.splitlines()) if len(parts) == 3}


def schema_code(firmware_dir, board):
    """({message: bytes of pack + unpack as used}, RAM bytes) on `board`."""
    def by_message(archive):
        totals = {}
        for name, (_, size) in symbols(board, os.path.join(firmware_dir, board, archive)).items():
            found = PROBE_FUNCTION.match(name)
            if found:
                totals[found.group(1)] = totals.get(found.group(1), 0) + size
        return totals

    used, opaque = by_message(SCHEMA_PROBE), by_message(SCHEMA_PROBE_OPAQUE)
    _, ram = sizes(board, os.path.join(firmware_dir, board, SCHEMA_PROBE))
    return {message: used[message] - opaque[message] for message in opaque}, ram


def engine_bytes(board, image):
    return sum(size for name, (_, size) in symbols(board, image).items() if ENGINE_SYMBOL.match(name))


def workload(pty):
    """What the tests do, in small: the longest frames, answers, noise."""
    import KorvaPy
    from korva import KorvaTimeout, frame, open_node
    with open_node(pty, HOST_ID, inter_byte_gap=1.0) as node:
        deadline = time.monotonic() + FIRST_ANSWER_TIMEOUT
        while True:
            try:
                node.request(NODE_ID, frame.VERSION_REQUEST_ID, timeout=RETRY_INTERVAL)
                break
            except KorvaTimeout:
                if time.monotonic() > deadline:
                    raise
        node.request(NODE_ID, frame.FIRST_RESERVED_ID, timeout=ANSWER_TIMEOUT)
        for size in (0, 1, 100, frame.MAX_PAYLOAD):
            node.send(frame.WRITE, NODE_ID, 5, bytes(range(size)))
            node.receive(ANSWER_TIMEOUT, message_type=frame.WRITE)
        with node.streamed(KorvaPy.KV_WRITE_EVENT, NODE_ID, 6, frame.MAX_PAYLOAD) as stream:
            stream.push(bytes(frame.MAX_PAYLOAD))
        node.receive(ANSWER_TIMEOUT, message_type=frame.WRITE)


def monitor_command(path, command):
    """One command on QEMU's human monitor; its output."""
    with socket.socket(socket.AF_UNIX) as monitor:
        monitor.settimeout(MONITOR_TIMEOUT)
        monitor.connect(path)
        read_until_prompt(monitor)
        monitor.sendall(command.encode() + b"\n")
        return read_until_prompt(monitor)


def read_until_prompt(monitor):
    received = b""
    while not received.endswith(b"(qemu) "):
        chunk = monitor.recv(65536)
        if not chunk:
            break
        received += chunk
    return received.decode(errors="replace")


def cortex_stack(board, image):
    names = addresses(board, image)
    bottom, top = names["_ebss"], names["_estack"]
    with tempfile.TemporaryDirectory() as folder:
        monitor = os.path.join(folder, "monitor")
        with Emulator(board, image, monitor=monitor) as emulator:
            workload(emulator.pty)
            dump = monitor_command(monitor, "xp /%dwx 0x%x" % ((top - bottom) // 4, bottom))
    words = [int(word, 16) for line in dump.splitlines() if ":" in line for word in line.split(":")[1].split()]
    untouched = 0
    while untouched < len(words) and words[untouched] == CORTEX_STACK_PAINT:
        untouched += 1
    return top - bottom - 4 * untouched


def avr_stack(image, runner):
    bottom = "%x" % addresses("atmega328p", image)["_end"]
    emulator = Emulator("atmega328p", image, runner=runner, extra=[bottom])
    with emulator:
        workload(emulator.pty)
    found = re.search(r"stack high-water: (\d+) bytes", emulator.output)
    return int(found.group(1)) if found else None


def report(firmware_dir, runner):
    print("%-12s %8s %10s %12s %13s" % ("board", "flash", "static RAM", "stack (max)", "engine code"))
    for board in BOARDS:
        image = image_of(firmware_dir, board)
        flash, ram = sizes(board, image)
        stack = avr_stack(image, runner) if board == "atmega328p" else cortex_stack(board, image)
        print("%-12s %6d B %8d B %10s B %11d B" % (board, flash, ram, stack, engine_bytes(board, image)),
              flush=True)
    print("\nsensor node   flash  static RAM")
    for board in BOARDS:
        print("%-12s %6d B %8d B" % ((board,) + sizes(board, os.path.join(firmware_dir, board, SENSOR_IMAGE))))
    codes = {board: schema_code(firmware_dir, board) for board in BOARDS}
    print("\nschema code per message, pack + unpack as used (fixture schema)")
    print("%-20s" % "message" + "".join("%13s" % board for board in BOARDS))
    for message in sorted(codes[BOARDS[0]][0]):
        print("%-20s" % message + "".join("%11d B" % codes[board][0][message] for board in BOARDS))
    print("%-20s" % "RAM" + "".join("%11d B" % codes[board][1] for board in BOARDS))


def check(firmware_dir):
    flash, ram = sizes(LIMITED_BOARD, image_of(firmware_dir, LIMITED_BOARD))
    print("%s echo node: flash %d B (limit %d), static RAM %d B (limit %d)"
          % (LIMITED_BOARD, flash, FLASH_LIMIT, ram, RAM_LIMIT))
    within = flash <= FLASH_LIMIT and ram <= RAM_LIMIT
    for board in BOARDS:
        code, code_ram = schema_code(firmware_dir, board)
        limit = SCHEMA_FLASH_BUDGET.get(board)
        print("%s %s: pack + unpack %d B (limit %s), RAM %d B (limit 0)"
              % (board, SCHEMA_BUDGET_MESSAGE, code[SCHEMA_BUDGET_MESSAGE], limit, code_ram))
        within = within and code_ram == 0 and (limit is None or code[SCHEMA_BUDGET_MESSAGE] <= limit)
    return 0 if within else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="only check the M0+ node's limits")
    parser.add_argument("firmware_dir")
    parser.add_argument("runner", nargs="?", help="the simavr runner, for the AVR's stack")
    args = parser.parse_args()
    if args.check:
        return check(args.firmware_dir)
    report(args.firmware_dir, args.runner)
    return 0


if __name__ == "__main__":
    sys.exit(main())
