// The node class behind korva's nodes: a KORVA_PUBLIC whose port hooks are
// the native link core, so a received frame costs one Python call (the
// application's callback) instead of seven.
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

    void notify_rx(Korva_event_types, Korva_Status_t, pyKORVA_PUBLIC) override {}
    void notify_tx(Korva_event_types, Korva_Status_t, pyKORVA_PUBLIC) override {}

    // Shows every frame the link cuts to `frame_observer(raw, time)` before
    // the engine reads it; noise only counts.
    struct ShowFrames {
        LinkNode& node;

        void operator()(const korva::link::Cut& piece) const
        {
            if (piece.kind == korva::link::CutKind::frame && !node.frame_observer.is_none()) {
                node.frame_observer(py::bytes(reinterpret_cast<const char*>(piece.bytes), piece.length),
                                    node.arrival_of(piece.bytes));
            }
        }
    };
    ShowFrames observer() { return ShowFrames{*this}; }

    NodeLock lock;
    py::object frame_observer = py::none();
    bool reconnect = false;
};

// The enumeration values a callback receives, made once: creating an enum
// instance per call would be the dearest part of a delivered frame. Never
// freed, so nothing is released after the interpreter is gone.
struct CallbackValues {
    py::object types[korva::MESSAGE_TYPE_MASK + 1];
    py::object statuses[korva::link::STATUS_COUNT];

    static const CallbackValues& get()
    {
        static const CallbackValues* values = [] {
            auto* made = new CallbackValues;
            for (uint8_t type = 0; type <= korva::MESSAGE_TYPE_MASK; ++type) {
                made->types[type] = py::cast(static_cast<Korva_event_types>(type));
            }
            for (uint8_t status = 0; status < korva::link::STATUS_COUNT; ++status) {
                made->statuses[status] = py::cast(static_cast<Korva_Status_t>(status));
            }
            return made;
        }();
        return *values;
    }
};

// Python subclasses reach the application callbacks through this class.
class LinkNodeHooks : public LinkNode {
public:
    using LinkNode::LinkNode;

    void notify_rx(Korva_event_types message_type, Korva_Status_t status, pyKORVA_PUBLIC record) override
    {
        py::gil_scoped_acquire gil;
        py::object callback = py::get_override(static_cast<const LinkNode*>(this), "__rx_callback__");
        if (!callback) {
            callback = py::getattr(self(), "on_message", py::none());
        }
        if (!callback.is_none()) {
            const CallbackValues& values = CallbackValues::get();
            callback(values.types[message_type & korva::MESSAGE_TYPE_MASK],
                     values.statuses[std::min<size_t>(status, korva::link::STATUS_COUNT - 1)], std::move(record));
        }
    }

    void notify_tx(Korva_event_types message_type, Korva_Status_t status, pyKORVA_PUBLIC record) override
    {
        PYBIND11_OVERRIDE_NAME(void, LinkNode, "__tx_callback__", notify_tx, message_type, status, record);
    }

private:
    py::handle self() const
    {
        return py::detail::get_object_handle(static_cast<const LinkNode*>(this),
                                             py::detail::get_type_info(typeid(LinkNode)));
    }
};
