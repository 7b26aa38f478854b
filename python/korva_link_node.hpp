// The node class behind korva's nodes: a KORVA_PUBLIC whose port hooks are
// the native link core, so received frames cost one Python call per
// service, however many they are, instead of seven each.
//
// Thread rules: every engine call runs under the node's re-entrant lock and
// with the interpreter lock held, so the native hooks never let go of
// either. Waits (for the line, for room in the backlog) let go of the
// interpreter lock; a poll's wait lets go of the node lock as well, so other
// threads may send while it waits. The outbox's drain thread needs neither.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <typeinfo>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

#include "korva_bridge.hpp"
#include "korva_records.hpp"
#include "link/korva_node.hpp"

namespace py = pybind11;

class NodeLock {
public:
    // Never blocks while holding the interpreter lock: the holder of this
    // lock may be waiting for the interpreter lock itself.
    void lock()
    {
        if (!mutex_.try_lock()) {
            py::gil_scoped_release nogil;
            mutex_.lock();
        }
    }
    void lock_without_gil() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

// What a service brought in, held until the service is over and then handed
// to Python in one call each: the frames shown to `frame_observer`, as
// (raw, arrival time, the cutter's verdict) tuples, and the messages the
// listener delivered, as (message_type, status, header) tuples for the
// Python side's `_deliver`. One crossing per service, not one per frame.
struct Arrived {
    py::list shown;
    py::list delivered;
    bool handing_over = false;
};

class LinkNode : public korva::link::Node<py_korva_tramp> {
public:
    explicit LinkNode(uint8_t id) : Node(id) {}

    // The KorvaPy hook methods, should Python call them: served natively.
    Korva_Status_t write_bytes(std::vector<uint8_t> buffer, uint16_t len) override
    {
        return port_write(buffer.data(), static_cast<uint16_t>(std::min<size_t>(len, buffer.size())));
    }

    Korva_Pair read_bytes(uint16_t len) override
    {
        Korva_Pair pair;
        pair.vec.resize(len);
        pair.status = port_read(pair.vec.data(), len);
        if (pair.status != KORVA_STATUS_SUCCESS) {
            pair.vec.clear();
        }
        return pair;
    }

    void notify_rx(Korva_event_types message_type, Korva_Status_t status, pyKORVA_PUBLIC record) override;
    void notify_tx(Korva_event_types, Korva_Status_t, pyKORVA_PUBLIC) override {}

    // Keeps every frame the link cuts for `frame_observer`, before the
    // engine reads it; noise only counts.
    struct ShowFrames {
        LinkNode& node;

        void operator()(const korva::link::Cut& piece) const
        {
            if (piece.kind == korva::link::CutKind::frame && !node.frame_observer.is_none()) {
                node.arrived.shown.append(
                    py::make_tuple(py::bytes(reinterpret_cast<const char*>(piece.bytes), piece.length),
                                   node.arrival_of(piece.bytes), static_cast<int>(piece.verdict)));
            }
        }
    };
    ShowFrames observer() { return ShowFrames{*this}; }

    // Hands what the last services brought in to Python, frames before
    // messages. A callback's own poll adds to what is being handed over, so
    // the order holds; what a raising callback left is handed over next time.
    void hand_over();

    NodeLock lock;
    py::object frame_observer = py::none();
    bool reconnect = false;
    // Closed by its owner: every send is refused, whether it had a line or not.
    bool shut = false;
    Arrived arrived;

private:
    py::handle self() const { return py::detail::get_object_handle(this, py::detail::get_type_info(typeid(LinkNode))); }
};

// The enumeration values a callback receives and a send returns: the
// members KorvaPy registered (so `status is KORVA_STATUS_SUCCESS` holds, and
// a comparison needs no conversion), or one made once for a value without
// a member. Creating an enum instance per call would be the dearest part of
// a delivered frame. Never freed, so nothing is released after the
// interpreter is gone.
struct CallbackValues {
    py::object types[korva::MESSAGE_TYPE_MASK + 1];
    py::object statuses[korva::link::STATUS_COUNT];

    const py::object& status(Korva_Status_t value) const
    {
        return statuses[std::min<size_t>(value, korva::link::STATUS_COUNT - 1)];
    }

    static const CallbackValues& get()
    {
        static const CallbackValues* values = [] {
            auto* made = new CallbackValues;
            fill<Korva_event_types>(made->types);
            fill<Korva_Status_t>(made->statuses);
            return made;
        }();
        return *values;
    }

private:
    template <class Enum, size_t Count>
    static void fill(py::object (&slots)[Count])
    {
        for (size_t value = 0; value < Count; ++value) {
            slots[value] = py::cast(static_cast<Enum>(value));
        }
        const py::dict members = py::type::of<Enum>().attr("__members__");
        for (const auto& member : members) {
            const size_t value = member.second.cast<size_t>();
            if (value < Count) {
                slots[value] = py::reinterpret_borrow<py::object>(member.second);
            }
        }
    }
};

inline void LinkNode::notify_rx(Korva_event_types message_type, Korva_Status_t status, pyKORVA_PUBLIC record)
{
    const CallbackValues& values = CallbackValues::get();
    arrived.delivered.append(py::make_tuple(values.types[message_type & korva::MESSAGE_TYPE_MASK],
                                            values.status(status), std::move(record)));
}

namespace detail {

// Calls `take(batch)` with everything `pending` holds. The callee removes
// from the batch what it has handed on when it raises; the rest goes back
// in front of whatever came meanwhile.
template <class Take>
void hand(py::list& pending, Take&& take)
{
    if (pending.empty()) {
        return;
    }
    py::list batch = std::exchange(pending, py::list());
    try {
        take(batch);
    } catch (const py::error_already_set&) {
        for (const py::handle later : pending) {
            batch.append(later);
        }
        pending = std::move(batch);
        throw;
    }
}

} // namespace detail

inline void LinkNode::hand_over()
{
    if (arrived.handing_over) {
        return; // the hand-over under way takes these too, in order
    }
    arrived.handing_over = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{arrived.handing_over};
    while (!arrived.shown.empty() || !arrived.delivered.empty()) {
        detail::hand(arrived.shown, [&](const py::list& batch) { frame_observer(batch); });
        detail::hand(arrived.delivered, [&](const py::list& batch) { self().attr("_deliver")(batch); });
    }
}

// Python subclasses reach the application's transmit callback through this class.
class LinkNodeHooks : public LinkNode {
public:
    using LinkNode::LinkNode;

    void notify_tx(Korva_event_types message_type, Korva_Status_t status, pyKORVA_PUBLIC record) override
    {
        PYBIND11_OVERRIDE_NAME(void, LinkNode, "__tx_callback__", notify_tx, message_type, status, record);
    }
};
