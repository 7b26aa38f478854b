"""Faults the emulator tests must catch.

    mutants.py SOURCE_DIR

Each mutant is the lm3s6965evb echo node built from a copy of the sources
with one deliberate fault; the echo node's test suite must fail against
every one of them. Exit status 0 when it did, 1 when a mutant got through
(or could not be made: the code it changes is gone).
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile

BOARD = "lm3s6965evb"
# The firmware's build also makes schema headers (python) and probes (tests/schema).
COPIED = ("engine", "link", "firmware", "cmake", "python", "tests/schema")
BUILD_TIMEOUT = 300
SUITE_TIMEOUT = 180  # the whole suite takes about 30 s; a mutant stops it at its first failure

# Name: (file, text, the text with the fault).
MUTANTS = {
    "checksum start value changed": (
        "engine/korva_crc.hpp", "CRC16_INIT = 0xFFFF;", "CRC16_INIT = 0xFFFE;"),
    "version bytes swapped": (
        "engine/korva_transmit.hpp",
        "static_cast<uint8_t>(KORVA_VERSION),\n        static_cast<uint8_t>(KORVA_VERSION >> 8),",
        "static_cast<uint8_t>(KORVA_VERSION >> 8),\n        static_cast<uint8_t>(KORVA_VERSION),"),
    "longest frame sent one byte short": (
        "engine/korva_transmit.hpp", "return write_retry(tx_buffer, frame_len, count);",
        "return write_retry(tx_buffer, static_cast<uint16_t>(frame_len - (frame_len == 262)), count);"),
    "no rescan after a rejected frame (a naive port)": (
        "link/korva_cutter.hpp", "rx.seek(start + 1);", "rx.seek(start + length);"),
}


def make_mutant(source_dir, work_dir, path, text, fault):
    """Builds the faulty image; returns its path."""
    for folder in COPIED:
        shutil.copytree(os.path.join(source_dir, folder), os.path.join(work_dir, folder))
    target = os.path.join(work_dir, path)
    with open(target) as original:
        code = original.read()
    if code.count(text) != 1:
        raise RuntimeError("%s no longer holds the code this mutant changes: %r" % (path, text))
    with open(target, "w") as mutated:
        mutated.write(code.replace(text, fault))
    build = os.path.join(work_dir, "build")
    toolchain = os.path.join(work_dir, "cmake", "toolchains", "arm-none-eabi.cmake")
    for command in (["cmake", "-S", os.path.join(work_dir, "firmware"), "-B", build, "-DKORVA_BOARD=" + BOARD,
                     "--toolchain", toolchain],
                    ["cmake", "--build", build, "-j2", "--target", "korva_node"]):
        subprocess.run(command, stdout=subprocess.DEVNULL, check=True, timeout=BUILD_TIMEOUT)
    return os.path.join(build, "korva_node.elf")


def suite_fails(image):
    """Runs the echo node's suite against `image`, stopping at its first
    failure; returns whether it failed, and the failure's headline. The
    suite runs as its own process group, so that a suite that overran is
    stopped with its emulator; it counts as not failing: a hang is no catch."""
    environment = dict(os.environ, KORVA_BOARD=BOARD, KORVA_FIRMWARE_IMAGE=image)
    suite = subprocess.Popen([sys.executable, "-m", "unittest", "-f", "test_echo_node"], env=environment,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
                             cwd=os.path.dirname(os.path.abspath(__file__)), start_new_session=True)
    try:
        output = suite.communicate(timeout=SUITE_TIMEOUT)[0]
    except subprocess.TimeoutExpired:
        os.killpg(suite.pid, signal.SIGKILL)
        suite.communicate()
        return False, "the suite overran %d s" % SUITE_TIMEOUT
    headline = next((line for line in output.splitlines() if line.startswith(("FAIL:", "ERROR:"))), "")
    return suite.returncode != 0, headline


def main():
    source_dir = sys.argv[1]
    escaped = []
    for name, (path, text, fault) in MUTANTS.items():
        with tempfile.TemporaryDirectory() as work_dir:
            failed, headline = suite_fails(make_mutant(source_dir, work_dir, path, text, fault))
        print("%-50s %s" % (name, "caught: " + headline if failed else "NOT CAUGHT " + headline), flush=True)
        if not failed:
            escaped.append(name)
    return 1 if escaped else 0


if __name__ == "__main__":
    sys.exit(main())
