"""Microseconds per body for the typed-message codec (`korva.schema`) beside
hand-written `struct` code for the same messages, in one run: the checked
kind a careful user writes (lengths, ranges, enums, the appended field's
default) and the bare one-call kind (no checks at all)."""

import math
import os
import struct
import sys
import timeit

from korva import schema

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "motor.toml")
CALLS = 20000
ROUNDS = 9
GOAL = 2.0  # the codec within this factor of checked hand-written code

SET_SPEED = struct.Struct("<hBH")
SET_SPEED_FIRST = struct.Struct("<hB")
STATUS = struct.Struct("<h4HB")


class SetSpeed:
    __slots__ = ("rpm", "mode", "ramp_ms")


class Status:
    __slots__ = ("temp", "cells", "flags", "note")


def hand_set_speed_decode(body, modes):
    message = SetSpeed()
    if len(body) >= 5:
        message.rpm, mode, message.ramp_ms = SET_SPEED.unpack_from(body)
    elif len(body) == 3:
        message.rpm, mode = SET_SPEED_FIRST.unpack(body)
        message.ramp_ms = 100
    else:
        raise ValueError("set_speed: bad length %d" % len(body))
    message.mode = modes.get(mode, mode)
    return message


def hand_set_speed_encode(message, modes):
    if type(message.rpm) is not int or not -6000 <= message.rpm <= 6000:
        raise ValueError("rpm")
    if message.mode not in modes:
        raise ValueError("mode")
    if type(message.ramp_ms) is not int or not 0 <= message.ramp_ms <= 65535:
        raise ValueError("ramp_ms")
    return SET_SPEED.pack(message.rpm, message.mode, message.ramp_ms)


def hand_status_decode(body, modes):
    if not 11 <= len(body) <= 43:
        raise ValueError("status: bad length %d" % len(body))
    temp, c0, c1, c2, c3, flags = STATUS.unpack_from(body)
    message = Status()
    message.temp = None if temp == -32768 else temp / 10
    message.cells = [c0, c1, c2, c3]
    mode = (flags >> 2) & 7
    message.flags = {"armed": bool(flags & 1), "fault": bool(flags & 2), "mode": modes.get(mode, mode)}
    message.note = body[11:].decode("utf-8")
    return message


def hand_status_encode(message, modes):
    raw = round(message.temp * 10)
    if not -32767 <= raw <= 32767:
        raise ValueError("temp")
    if len(message.cells) != 4 or not all(type(c) is int and 0 <= c <= 65535 for c in message.cells):
        raise ValueError("cells")
    flags = message.flags
    if flags["mode"] not in modes:
        raise ValueError("mode")
    note = message.note.encode("utf-8")
    if len(note) > 32:
        raise ValueError("note")
    return STATUS.pack(raw, *message.cells, flags["armed"] | flags["fault"] << 1 | flags["mode"] << 2) + note


def per_call(*functions):
    """Microseconds per call of each function, the best of ROUNDS rounds
    that take turns, so that a burst of load on a shared machine falls on
    all of them alike."""
    best = [math.inf] * len(functions)
    for _ in range(ROUNDS):
        for index, function in enumerate(functions):
            best[index] = min(best[index], timeit.timeit(function, number=CALLS) / CALLS * 1e6)
    return best


def main():
    motor = schema.load(EXAMPLE)
    modes = {member.value: member for member in motor.enums["Mode"]}
    typed_speed = motor.messages["set_speed"](rpm=-1200, mode="run", ramp_ms=250)
    typed_status = motor.messages["status"](temp=21.5, cells=[3700, 3710, 3690, 3705],
                                            flags={"armed": True, "mode": "run"}, note="ok")
    speed_body, status_body = typed_speed.encode(), typed_status.encode()
    hand_speed = hand_set_speed_decode(speed_body, modes)
    hand_status = hand_status_decode(status_body, modes)
    assert hand_set_speed_encode(hand_speed, modes) == speed_body
    assert hand_status_encode(hand_status, modes) == status_body
    bare = struct.Struct("<hBH")

    rows = [
        ("set_speed decode", lambda: motor.decode(5, 0, speed_body), lambda: hand_set_speed_decode(speed_body, modes),
         lambda: bare.unpack(speed_body)),
        ("set_speed encode", typed_speed.encode, lambda: hand_set_speed_encode(hand_speed, modes),
         lambda: bare.pack(-1200, 1, 250)),
        ("status decode", lambda: motor.decode(7, 3, status_body), lambda: hand_status_decode(status_body, modes),
         lambda: STATUS.unpack_from(status_body)),
        ("status encode", typed_status.encode, lambda: hand_status_encode(hand_status, modes),
         lambda: STATUS.pack(215, 3700, 3710, 3690, 3705, 5) + b"ok"),
    ]
    print("%-18s %10s %10s %8s %10s" % ("us per body", "korva", "hand", "ratio", "bare"))
    worst = 0.0
    for name, typed, hand, one_call in rows:
        typed_us, hand_us, bare_us = per_call(typed, hand, one_call)
        worst = max(worst, typed_us / hand_us)
        print("%-18s %10.2f %10.2f %7.2fx %10.2f" % (name, typed_us, hand_us, typed_us / hand_us, bare_us))
    print("Python %s; worst ratio %.2fx, goal %.1fx" % (sys.version.split()[0], worst, GOAL))


if __name__ == "__main__":
    main()
