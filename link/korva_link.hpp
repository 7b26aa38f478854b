// The link: what sits between an engine and the bytes of its line, on a
// host and on a microcontroller alike.
//
// `Link` serves the engine's read hooks from its receive buffer, and `service`
// runs the engine's listener on every whole frame the cutter finds, so the
// listener never waits for a byte. An observer, when given, sees every piece
// of the line first: noise, and frames for any node, intact or damaged.
//
// Freestanding, like the engine: no allocation, no exceptions, no clock of
// its own (the caller supplies ticks) and no library beyond the C headers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "engine/korva.hpp"
#include "korva_cutter.hpp"

namespace korva {
namespace link {

constexpr size_t STATUS_COUNT = KORVA_STATUS_NULL_MESSAGE + 1;

// What the listener made of the frames it was handed.
struct ListenerStats {
    Count results[STATUS_COUNT]{}; // listener calls by status: SUCCESS, CRC_ERROR, ... delivered
    Count listener_calls = 0;
    Count answers_held = 0; // answers the engine held back until its streamed frame ended
};

// For service calls nobody watches.
struct IgnoreCuts {
    void operator()(const Cut&) const {}
};

template <size_t Capacity>
class Link : public Cutter<Capacity> {
public:
    Korva_Status_t port_read(uint8_t* dst, uint16_t len)
    {
        return this->rx.read(dst, len) ? KORVA_STATUS_SUCCESS : KORVA_STATUS_TIMEOUT;
    }
    uint64_t port_available() const { return this->rx.size(); }

    // Runs the listener on every whole frame buffered, after `observe` has
    // seen it; returns the last listener status, DEFAULT if none ran.
    template <class Engine, class Observe = IgnoreCuts>
    Korva_Status_t service(Engine& engine, Tick now, Observe&& observe = {});

    ListenerStats heard;

private:
    template <class Engine>
    Korva_Status_t listen(Engine& engine);
};

template <size_t Capacity>
template <class Engine, class Observe>
Korva_Status_t Link<Capacity>::service(Engine& engine, Tick now, Observe&& observe)
{
    Korva_Status_t last = KORVA_STATUS_DEFAULT;
    this->cut(now, [&](const Cut& piece) {
        observe(piece);
        if (piece.kind == CutKind::frame) {
            last = listen(engine);
        }
    });
    return last;
}

// A request held by this call raises the engine's count; answers it sends
// on the way lower it, and are not counted again.
template <size_t Capacity>
template <class Engine>
Korva_Status_t Link<Capacity>::listen(Engine& engine)
{
    const uint8_t held_before = engine.held_answer_count();
    const Korva_Status_t status = engine.listener();
    const uint8_t held_after = engine.held_answer_count();
    ++heard.listener_calls;
    ++heard.results[status < STATUS_COUNT ? size_t{status} : STATUS_COUNT - 1];
    if (held_after > held_before) {
        heard.answers_held += held_after - held_before;
    }
    return status;
}

} // namespace link
} // namespace korva
