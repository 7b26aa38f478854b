// The one rule by which a byte stream is cut into frames and noise. A node
// cuts its line with it before the engine reads a frame, and the tools that
// only watch a line cut with it too, so both see the same frames.
//
// - Bytes before a start byte are noise.
// - A start byte and the bytes its length byte announces are a candidate.
//   An intact one (end byte and checksum right) is consumed whole.
// - A damaged candidate is reported as well, then scanned again from the
//   byte after its start byte: a false start never costs the frames behind it.
// - A fragment the line has been quiet in for `gap` ticks loses its start
//   byte, so it cannot swallow the next frame.
//
// Freestanding: time is a tick count the caller supplies, in any unit.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "engine/korva.hpp"
#include "korva_rx_buffer.hpp"

namespace korva {
namespace link {

// As wide as the machine's long: 64 bits on a host, 32 on a microcontroller.
// Ticks are only ever subtracted, so a wrapping clock is fine.
using Tick = unsigned long;
using Count = unsigned long;

enum class CutKind : uint8_t {
    noise, // bytes before a start byte
    frame, // a whole candidate, intact or damaged
    stale, // the start byte of a fragment the line went quiet in
};

struct Cut {
    CutKind kind;
    Korva_Status_t verdict; // frames: SUCCESS, CRC_ERROR or END_BYTE_ERROR
    const uint8_t* bytes;   // valid during the visit only
    size_t length;
};

struct CutStats {
    Count bytes_received = 0;
    Count bytes_hunted = 0; // noise
    Count resyncs = 0;      // damaged candidates scanned again
    Count cut_short = 0;    // fragments dropped because the line went quiet inside them
};

// The checks a candidate of `length` bytes must pass to be taken whole.
inline Korva_Status_t check_frame(const uint8_t* frame, size_t length)
{
    if (frame[length - 1] != MESSAGE_END) {
        return KORVA_STATUS_END_BYTE_ERROR;
    }
    const size_t checked = length - FRAME_TRAILER_SIZE;
    const uint16_t crc = crc16(frame, checked, CRC16_INIT);
    const bool intact = frame[checked] == crc_high(crc) && frame[checked + 1] == crc_low(crc);
    return intact ? KORVA_STATUS_SUCCESS : KORVA_STATUS_CRC_ERROR;
}

template <size_t Capacity>
class Cutter {
public:
    // Buffers bytes that came from the line; returns how many fitted.
    size_t feed(const uint8_t* bytes, size_t len, Tick now);
    // Room for the next read straight into the buffer, and its accounting.
    uint8_t* read_room(size_t& room);
    void received(size_t count, Tick now);

    // Hands every piece the buffered bytes are cut into to `visit(const Cut&)`,
    // in stream order. During a frame's visit its bytes are the next unread
    // ones, so the visitor may read them (an engine's listener does); the
    // cut then moves on by the rule above whatever the visitor read.
    template <class Visit>
    void cut(Tick now, Visit&& visit);
    // True inside cut(): the buffer is not compacted then.
    bool cutting() const { return cutting_; }
    // Ticks until the bytes buffered now go stale, if nothing follows them.
    Tick stale_in(Tick now) const { return quiet(now) ? 0 : static_cast<Tick>(last_arrival_ + gap - now); }

    RxBuffer<Capacity> rx;
    CutStats stats;
    Tick gap = 0;

private:
    template <class Visit>
    void take_candidate(Visit& visit);
    bool quiet(Tick now) const { return static_cast<Tick>(now - last_arrival_) >= gap; }

    Tick last_arrival_ = 0;
    bool cutting_ = false;
};

// A frame being cut stays where it is until the cut is done.
template <size_t Capacity>
uint8_t* Cutter<Capacity>::read_room(size_t& room)
{
    if (!cutting_) {
        rx.compact();
    }
    room = rx.tail_room();
    return rx.tail();
}

template <size_t Capacity>
void Cutter<Capacity>::received(size_t count, Tick now)
{
    if (count == 0) {
        return;
    }
    rx.commit(count);
    stats.bytes_received += count;
    last_arrival_ = now;
}

template <size_t Capacity>
size_t Cutter<Capacity>::feed(const uint8_t* bytes, size_t len, Tick now)
{
    size_t room = 0;
    uint8_t* into = read_room(room);
    const size_t taken = len < room ? len : room;
    memcpy(into, bytes, taken);
    received(taken, now);
    return taken;
}

template <size_t Capacity>
template <class Visit>
void Cutter<Capacity>::cut(Tick now, Visit&& visit)
{
    if (cutting_) {
        return; // a visitor's own poll: the running cut takes what came
    }
    cutting_ = true;
    for (;;) {
        const uint8_t* noise = rx.data();
        if (const size_t hunted = rx.hunt()) {
            stats.bytes_hunted += hunted;
            visit(Cut{CutKind::noise, KORVA_STATUS_START_BYTE_ERROR, noise, hunted});
        }
        if (rx.whole_frame()) {
            take_candidate(visit);
            continue;
        }
        if (rx.empty() || !quiet(now)) {
            break;
        }
        visit(Cut{CutKind::stale, KORVA_STATUS_START_BYTE_ERROR, rx.data(), 1});
        rx.drop(1);
        ++stats.cut_short;
    }
    cutting_ = false;
}

template <size_t Capacity>
template <class Visit>
void Cutter<Capacity>::take_candidate(Visit& visit)
{
    const size_t start = rx.position();
    const size_t length = rx.frame_length();
    const Korva_Status_t verdict = check_frame(rx.data(), length);
    visit(Cut{CutKind::frame, verdict, rx.data(), length});
    if (verdict == KORVA_STATUS_SUCCESS) {
        rx.seek(start + length);
    } else {
        rx.seek(start + 1);
        ++stats.resyncs;
    }
}

} // namespace link
} // namespace korva
