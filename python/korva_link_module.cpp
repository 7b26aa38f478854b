// The _korva_link extension module: a KORVA_PUBLIC whose port hooks are the
// native link core, so a received frame costs one Python call (the
// application's callback) instead of seven.
//
// Thread rules: every engine call runs under the node's re-entrant lock and
// with the interpreter lock held, so the native hooks never let go of
// either. Waits (for the line, for room in the backlog) let go of the
// interpreter lock; a poll's wait lets go of the node lock as well, so other
// threads may send while it waits.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "korva_bridge.hpp"
#include "korva_records.hpp"
#include "link/korva_link.hpp"

namespace py = pybind11;
using korva::link::Clock;
using korva::link::Duration;
using korva::link::PosixLine;

namespace {

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

    bool reconnect = false;

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

    NodeLock lock;
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

using Guard = std::lock_guard<NodeLock>;

Duration seconds(double value) { return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(value)); }

double in_seconds(Duration value) { return std::chrono::duration<double>(value).count(); }

// For waits that keep the node: sends waiting for room in the backlog.
struct WaitWithoutGil {
    template <class Wait>
    void operator()(Wait&& wait) const
    {
        py::gil_scoped_release nogil;
        wait();
    }
};

// For a poll's wait: other threads may use the node meanwhile.
struct WaitUnlocked {
    NodeLock& lock;

    template <class Wait>
    void operator()(Wait&& wait) const
    {
        lock.unlock();
        py::gil_scoped_release nogil;
        wait();
        lock.lock_without_gil();
    }
};

const uint8_t* payload_of(const std::vector<uint8_t>& bytes, size_t len)
{
    return bytes.empty() || bytes.size() < len ? nullptr : bytes.data();
}

// A node with reconnection on lets go of a line that fails and tells its
// Python side, which brings a new one; until then each call reports what
// it reports when the line has nothing for it. Without reconnection the
// failure is the caller's, as OSError.
template <class Result, class Operation>
Result guarded(LinkNode& node, Result while_down, Operation&& operation)
{
    if (node.dropped()) {
        return while_down;
    }
    try {
        return operation();
    } catch (const std::system_error& failure) {
        if (!node.reconnect) {
            throw;
        }
        node.drop_line();
        py::cast(&node, py::return_value_policy::reference).attr("_link_dropped")(failure.what());
        return while_down;
    }
}

template <class Operation>
Korva_Status_t locked_send(LinkNode& node, Operation&& operation)
{
    Guard guard(node.lock);
    return guarded(node, KORVA_STATUS_TIMEOUT, [&] { return node.send(operation, WaitWithoutGil{}); });
}

// While the line is down a poll waits for it to come back, then polls the
// new line for the time left.
Korva_Status_t poll(LinkNode& node, double timeout)
{
    constexpr Duration down_check = std::chrono::milliseconds(10);
    Guard guard(node.lock);
    const Clock::time_point deadline = Clock::now() + seconds(timeout);
    while (node.dropped()) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            return KORVA_STATUS_DEFAULT;
        }
        WaitUnlocked{node.lock}([&] { std::this_thread::sleep_for(std::min<Duration>(deadline - now, down_check)); });
    }
    return guarded(node, KORVA_STATUS_DEFAULT,
                   [&] { return node.poll(deadline - Clock::now(), WaitUnlocked{node.lock}); });
}

// Hook methods a Python subclass must not define: the link serves them.
void refuse_port_hooks(const py::type& cls, const py::kwargs&)
{
    for (const char* hook : {"__read__", "__write__", "__available__"}) {
        const py::object method = py::getattr(cls, hook, py::none());
        if (!py::isinstance<py::function>(method) || !py::reinterpret_borrow<py::function>(method).is_cpp_function()) {
            throw py::type_error(std::string(py::str(cls.attr("__name__"))) + " defines " + hook +
                                 ", but a link node's port hooks are native; subclass KorvaPy.KORVA_PUBLIC "
                                 "for a transport of your own");
        }
    }
}

py::dict stats_of(LinkNode& node)
{
    Guard guard(node.lock);
    const korva::link::LinkStats& stats = node.link.stats;
    py::dict results;
    for (size_t status = 0; status < korva::link::STATUS_COUNT; ++status) {
        if (stats.results[status] != 0) {
            results[resolve_status(static_cast<Korva_Status_t>(status))] = stats.results[status];
        }
    }
    py::dict out;
    out["results"] = results;
    out["bytes_received"] = stats.bytes_received;
    out["bytes_sent"] = stats.bytes_sent;
    out["bytes_hunted"] = stats.bytes_hunted;
    out["bytes_stale"] = stats.bytes_stale;
    out["resyncs"] = stats.resyncs;
    out["cut_short"] = stats.cut_short;
    out["write_timeouts"] = stats.write_timeouts;
    out["answers_held"] = stats.answers_held;
    out["drops"] = stats.drops;
    out["reconnects"] = stats.reconnects;
    out["backlog"] = node.link.backlog.size();
    return out;
}

Korva_Status_t feed(LinkNode& node, const py::bytes& data)
{
    Guard guard(node.lock);
    const std::string bytes = data;
    size_t done = 0;
    Korva_Status_t status = KORVA_STATUS_DEFAULT;
    while (done < bytes.size()) {
        const size_t taken =
            node.link.feed(reinterpret_cast<const uint8_t*>(bytes.data()) + done, bytes.size() - done, Clock::now());
        if (taken == 0 && node.link.pumping()) {
            throw py::buffer_error("the receive buffer is full while the listener runs");
        }
        done += taken;
        status = node.service(Clock::now());
    }
    return status;
}

// For a node whose line is driven from elsewhere (an event loop, a test):
// everything the backlog holds, in order, now off the node's hands.
py::bytes take_output(LinkNode& node)
{
    Guard guard(node.lock);
    std::string out;
    out.reserve(node.link.backlog.size());
    while (!node.link.backlog.empty()) {
        size_t len = 0;
        const uint8_t* run = node.link.backlog.front(len);
        out.append(reinterpret_cast<const char*>(run), len);
        node.link.backlog.pop(len);
    }
    node.link.stats.bytes_sent += out.size();
    return py::bytes(out);
}

// Ends an open streamed frame without its trailer: the engine forgets it,
// and the line stays quiet for one inter-byte gap so the peers' links drop
// the fragment before the next frame starts. False if none was open.
bool abandon_stream(LinkNode& node)
{
    Guard guard(node.lock);
    const bool open = (node.tx_flags & TX_START) && !(node.tx_flags & TX_END);
    node.tx_flags = 0;
    if (open) {
        guarded(node, false, [&] { return node.flush(node.write_timeout, WaitWithoutGil{}); });
        py::gil_scoped_release nogil;
        std::this_thread::sleep_for(node.link.gap);
    }
    return open;
}

void register_node(py::module_& m)
{
    py::class_<LinkNode, py_korva_tramp, LinkNodeHooks> node(m, "Node");
    node.def(py::init_alias<uint8_t>(), py::arg("node_id"))
        .def("__write__", &LinkNode::write_bytes)
        .def("__read__", &LinkNode::read_bytes)
        .def(
            "write",
            [](LinkNode& self, uint8_t receiver_id, uint8_t message_id, const std::vector<uint8_t>& buffer,
               uint8_t len) {
                return locked_send(self, [&] {
                    return self.write(receiver_id, message_id, payload_of(buffer, len), len, self.retry_count);
                });
            },
            py::arg("receiver_id"), py::arg("message_id"), py::arg("buffer"), py::arg("len"))
        .def(
            "write_public",
            [](LinkNode& self, uint8_t message_id, const std::vector<uint8_t>& buffer, uint8_t len) {
                return locked_send(self, [&] {
                    return self.write_public(message_id, payload_of(buffer, len), len, self.retry_count);
                });
            },
            py::arg("message_id"), py::arg("buffer"), py::arg("len"))
        .def(
            "start_write_queue",
            [](LinkNode& self, Korva_event_types type, uint8_t receiver_id, uint8_t message_id, uint8_t len,
               uint8_t count) {
                return locked_send(self,
                                   [&] { return self.start_write_queue(type, receiver_id, message_id, len, count); });
            },
            py::arg("t"), py::arg("receiver_id"), py::arg("message_id"), py::arg("len"), py::arg("count"))
        .def(
            "push_to_queue",
            [](LinkNode& self, const std::vector<uint8_t>& buffer, uint8_t len) {
                return locked_send(self,
                                   [&] { return self.push_to_queue(payload_of(buffer, len), len, self.retry_count); });
            },
            py::arg("buffer"), py::arg("len"))
        .def(
            "finalize_queue",
            [](LinkNode& self, uint8_t count) { return locked_send(self, [&] { return self.finalize_queue(count); }); },
            py::arg("count"))
        .def(
            "write_frame",
            [](LinkNode& self, const py::bytes& frame) {
                const std::string bytes = frame;
                if (bytes.size() > korva::link::TxBacklog::CAPACITY) {
                    throw py::value_error("a frame is at most 262 bytes");
                }
                return locked_send(self, [&] {
                    return self.port_write(reinterpret_cast<const uint8_t*>(bytes.data()),
                                           static_cast<uint16_t>(bytes.size()));
                });
            },
            py::arg("frame"), "Queue one composed frame whole, as the node's sends do; returns their status.")
        .def("listener",
             [](LinkNode& self) {
                 Guard guard(self.lock);
                 return self.listener();
             })
        .def("handle_message_data",
             [](LinkNode& self, const std::vector<uint8_t>& data, uint16_t len) {
                 Guard guard(self.lock);
                 return self.handle_message_data(data.empty() ? nullptr : data.data(), data.size(), len);
             })
        .def("feed", &feed, py::arg("data"),
             "Buffer bytes that came from elsewhere and run the listener on every whole frame.")
        .def(
            "pump",
            [](LinkNode& self) {
                Guard guard(self.lock);
                return guarded(self, KORVA_STATUS_DEFAULT, [&] { return self.service(Clock::now()); });
            },
            "Send what is queued, read what the line has, and run the listener on every whole frame; "
            "never waits. Returns the last listener status, KORVA_STATUS_DEFAULT if none ran.")
        .def("poll", &poll, py::arg("timeout"),
             "Wait up to `timeout` seconds for a whole frame, then run the listener on every whole frame "
             "buffered; returns the last listener status, KORVA_STATUS_DEFAULT if none came.")
        .def(
            "flush",
            [](LinkNode& self, double timeout) {
                Guard guard(self.lock);
                return guarded(self, false, [&] { return self.flush(seconds(timeout), WaitWithoutGil{}); });
            },
            py::arg("timeout"), "Wait up to `timeout` seconds until every queued byte is on the line.")
        .def("take_output", &take_output,
             "Remove and return every byte queued for the line, for a node without one of its own.")
        .def("abandon_stream", &abandon_stream,
             "End an open streamed frame without its trailer; false if none was open.")
        .def_property_readonly("own_id", [](const LinkNode& self) { return self.own_id(); })
        .def("assign_new_id",
             [](LinkNode& self, uint8_t id) {
                 Guard guard(self.lock);
                 self.assign_new_id(id);
             })
        .def("set_fixed_packet_size",
             [](LinkNode& self, uint16_t size) {
                 Guard guard(self.lock);
                 self.set_fixed_packet_size(size);
             })
        .def(
            "fileno",
            [](const LinkNode& self) {
                if (!self.has_line()) {
                    throw py::value_error("the node has no line");
                }
                return self.line.fd();
            },
            "The descriptor of the line, for select() and event loops.")
        .def("_acquire", [](LinkNode& self) { self.lock.lock(); })
        .def("_release", [](LinkNode& self) { self.lock.unlock(); })
        .def(
            "_open_tty",
            [](LinkNode& self, const std::string& path, unsigned baud) {
                Guard guard(self.lock);
                self.attach(PosixLine::open_tty(path, baud), korva::link::default_gap(baud));
            },
            py::arg("path"), py::arg("baud"))
        .def(
            "_adopt_tty",
            [](LinkNode& self, int fd, const std::string& name, unsigned baud) {
                Guard guard(self.lock);
                self.attach(PosixLine::adopt_tty(fd, name, baud), korva::link::default_gap(baud));
            },
            py::arg("fd"), py::arg("name"), py::arg("baud"))
        .def(
            "_adopt",
            [](LinkNode& self, int fd, const std::string& name, double gap) {
                Guard guard(self.lock);
                self.attach(PosixLine::adopt(fd, name), seconds(gap));
            },
            py::arg("fd"), py::arg("name"), py::arg("gap"))
        .def("_close",
             [](LinkNode& self) {
                 Guard guard(self.lock);
                 self.line.close();
             })
        .def_readwrite("reconnect", &LinkNode::reconnect,
                       "Whether a failed line is let go and reported to `_link_dropped` instead of raising.")
        .def_property_readonly(
            "link_up", [](const LinkNode& self) { return !self.dropped(); },
            "False while a dropped line waits to be replaced.")
        .def_property_readonly("closed", [](const LinkNode& self) { return !self.has_line(); })
        .def_property_readonly("line_name", [](const LinkNode& self) { return self.line.name(); })
        .def_property_readonly("backlog", [](const LinkNode& self) { return self.link.backlog.size(); })
        .def_property_readonly(
            "stale_in",
            [](LinkNode& self) -> py::object {
                Guard guard(self.lock);
                if (self.link.rx.empty()) {
                    return py::none();
                }
                return py::float_(std::max(0.0, in_seconds(self.link.stale_at() - Clock::now())));
            },
            "Seconds until the buffered fragment goes stale (`pump` then drops it), None when nothing is "
            "buffered; for nodes fed from an event loop.")
        .def_property(
            "inter_byte_gap", [](const LinkNode& self) { return in_seconds(self.link.gap); },
            [](LinkNode& self, double value) { self.link.gap = seconds(value); },
            "Seconds a fragment may wait for its continuation before it is dropped.")
        .def_property(
            "write_timeout", [](const LinkNode& self) { return in_seconds(self.write_timeout); },
            [](LinkNode& self, double value) { self.write_timeout = seconds(value); },
            "Seconds a send waits for room in the transmit backlog.")
        .def("link_stats", &stats_of, "The link's counters, as a dict.");

    const py::object check = py::cpp_function(&refuse_port_hooks);
    node.attr("__init_subclass__") = py::reinterpret_steal<py::object>(PyClassMethod_New(check.ptr()));
}

// A bare line, for tools that must see every byte and never answer: the
// engine is not involved, so nothing is written unless the caller writes.
void register_line(py::module_& m)
{
    py::class_<PosixLine>(m, "Line", "A raw tty, socket or pipe line, non-blocking; no engine behind it.")
        .def_static("open_tty", &PosixLine::open_tty, py::arg("path"), py::arg("baud"),
                    "Open a tty by path in raw 8N1 mode at `baud`; its settings come back on close.")
        .def_static(
            "adopt", [](int fd, const std::string& name) { return PosixLine::adopt(fd, name); }, py::arg("fd"),
            py::arg("name"), "Take over a connected socket or pipe descriptor.")
        .def(
            "read",
            [](PosixLine& line, size_t max_bytes) {
                std::string out(max_bytes, '\0');
                out.resize(line.read_some(reinterpret_cast<uint8_t*>(out.data()), out.size()));
                return py::bytes(out);
            },
            py::arg("max_bytes") = korva::link::RxBuffer::CAPACITY,
            "The bytes the line has now (maybe none); OSError when it is gone.")
        .def(
            "write",
            [](PosixLine& line, const py::bytes& data) {
                const std::string bytes = data;
                return line.write_some(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            },
            py::arg("data"), "Write what the line takes now; returns the count taken.")
        .def(
            "wait",
            [](const PosixLine& line, bool readable, bool writable, double timeout) {
                py::gil_scoped_release nogil;
                return line.wait(readable, writable,
                                 std::chrono::duration_cast<Duration>(std::chrono::duration<double>(timeout)));
            },
            py::arg("readable"), py::arg("writable"), py::arg("timeout"),
            "Wait up to `timeout` seconds for the line to be readable and/or writable; False on timeout.")
        .def_property_readonly("output_queued", &PosixLine::output_queued)
        .def("fileno", &PosixLine::fd)
        .def_property_readonly("name", &PosixLine::name)
        .def_property_readonly("closed", [](const PosixLine& line) { return !line.is_open(); })
        .def("close", &PosixLine::close);
}

} // namespace

PYBIND11_MODULE(_korva_link, m)
{
    m.doc() = "The native link core under korva's nodes.";
    py::module_::import("KorvaPy"); // registers the base class this module derives from
    py::register_exception_translator([](std::exception_ptr error) {
        try {
            if (error) {
                std::rethrow_exception(error);
            }
        } catch (const std::system_error& failure) {
            const py::object os_error = py::module_::import("builtins").attr("OSError");
            PyErr_SetObject(os_error.ptr(), py::make_tuple(failure.code().value(), failure.what()).ptr());
        }
    });
    register_node(m);
    register_line(m);
    m.def(
        "default_gap", [](unsigned baud) { return in_seconds(korva::link::default_gap(baud)); }, py::arg("baud"),
        "Seconds a fragment may wait for the rest of its frame on a line at `baud`.");
    m.attr("SEND_ROOM") = korva::link::SEND_ROOM;
}
