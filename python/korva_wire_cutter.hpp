// The link's cutter for tools that only watch a line: the same rule a node
// cuts its line by, with no engine behind it, so a monitor shows exactly
// the frames a node would have been offered.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include <pybind11/pybind11.h>

#include "link/korva_arrivals.hpp"
#include "link/korva_cutter.hpp"
#include "link/korva_node.hpp"

namespace py = pybind11;

class WireCutter {
public:
    explicit WireCutter(double gap) { cutter_.gap = ticks(gap); }

    // Takes `data`, arrived at `now` (seconds); the pieces it completed, as
    // (kind, time of the first byte, bytes, verdict) tuples.
    py::list feed(const py::bytes& data, double now)
    {
        const std::string bytes = data;
        py::list pieces = expire(now);
        size_t done = 0;
        while (done < bytes.size()) {
            const size_t taken =
                cutter_.feed(reinterpret_cast<const uint8_t*>(bytes.data()) + done, bytes.size() - done, ticks(now));
            arrivals_.record(taken, now);
            done += taken;
            cut(ticks(now), pieces);
        }
        return pieces;
    }

    // The pieces completed by the line having been quiet until `now`.
    py::list expire(double now)
    {
        py::list pieces;
        cut(ticks(now), pieces);
        return pieces;
    }

    // Every piece still pending: the line is over, so every fragment is stale.
    py::list finish()
    {
        py::list pieces;
        while (!cutter_.rx.empty()) {
            cut(last_tick_ + cutter_.gap, pieces);
        }
        return pieces;
    }

    py::dict stats() const
    {
        py::dict out;
        out["bytes_received"] = cutter_.stats.bytes_received;
        out["bytes_hunted"] = cutter_.stats.bytes_hunted;
        out["resyncs"] = cutter_.stats.resyncs;
        out["cut_short"] = cutter_.stats.cut_short;
        return out;
    }

private:
    // The host node's ticks, so a gap means the same on a node and here.
    static korva::link::Tick ticks(double seconds)
    {
        return korva::link::ticks_of(
            std::chrono::duration_cast<korva::link::Duration>(std::chrono::duration<double>(seconds)));
    }

    void cut(korva::link::Tick now, py::list& pieces)
    {
        static const char* const kinds[] = {"noise", "frame", "stale"};
        last_tick_ = now;
        cutter_.cut(now, [&](const korva::link::Cut& piece) {
            pieces.append(py::make_tuple(
                kinds[static_cast<int>(piece.kind)], arrivals_.time_in(cutter_.rx, piece.bytes),
                py::bytes(reinterpret_cast<const char*>(piece.bytes), piece.length), static_cast<int>(piece.verdict)));
        });
    }

    korva::link::Cutter<korva::link::RX_CAPACITY> cutter_;
    korva::link::Arrivals arrivals_;
    korva::link::Tick last_tick_ = 0;
};
