"""Print the engine benchmark results (Google Benchmark JSON) as a table,
with the loop-back cost as a multiple of the checksum floor."""

import json
import sys

PAYLOADS = (0, 16, 64, 255)
FRAME_OVERHEAD = 7
LOOPBACK_GOAL = 1.5


def cpu_ns(results, name):
    return next(r["cpu_time"] for r in results if r["name"] == name)


def main(path):
    with open(path) as report:
        results = json.load(report)["benchmarks"]
    for result in results:
        if result.get("error_occurred"):
            sys.exit("benchmark %s failed: %s" % (result["name"], result.get("error_message")))
    crc_262 = cpu_ns(results, "BM_crc16/262")
    print("crc16: %.2f ns per byte (%.0f MB/s)" % (crc_262 / 262, 262 / crc_262 * 1e3))
    print()
    print("%-8s %-10s %12s %12s" % ("payload", "operation", "ns/frame", "ns/byte"))
    for payload in PAYLOADS:
        frame = payload + FRAME_OVERHEAD
        for operation in ("send", "receive", "loopback", "crc_floor"):
            ns = cpu_ns(results, "BM_%s/%d" % (operation, payload))
            print("%-8d %-10s %12.1f %12.2f" % (payload, operation, ns, ns / frame))
    print()
    print("loop-back cost / checksum floor (goal for 255 bytes: within %.1fx)" % LOOPBACK_GOAL)
    for payload in PAYLOADS:
        ratio = cpu_ns(results, "BM_loopback/%d" % payload) / cpu_ns(results, "BM_crc_floor/%d" % payload)
        print("  payload %3d: %.2fx" % (payload, ratio))


if __name__ == "__main__":
    main(sys.argv[1])
