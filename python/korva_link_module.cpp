// The _korva_link extension module: the node class on the native link core,
// the link's cutter for tools that only watch a line, and a bare line.
#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "korva_link_node.hpp"
#include "korva_wire_cutter.hpp"
#include "link/korva_node.hpp"

namespace py = pybind11;
using korva::link::Clock;
using korva::link::Duration;
using korva::link::PosixLine;

namespace {

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
        py::cast(&node, py::return_value_policy::reference).attr("_line_dropped")(failure.what());
        return while_down;
    }
}

template <class Operation>
Korva_Status_t locked_send(LinkNode& node, Operation&& operation)
{
    Guard guard(node.lock);
    return guarded(node, KORVA_STATUS_TIMEOUT, [&] { return node.with_room(operation, WaitWithoutGil{}); });
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
                   [&] { return node.poll(deadline - Clock::now(), WaitUnlocked{node.lock}, node.observer()); });
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

// Every counter of a node, named once: the Python side builds its
// statistics record from these names. `results` counts listener calls by
// status text; `backlog` is the bytes waiting for the line.
using Counter = uint64_t (*)(const LinkNode&);
struct NamedCounter {
    const char* name;
    Counter value;
};
constexpr NamedCounter COUNTERS[] = {
    {"bytes_received", [](const LinkNode& n) -> uint64_t { return n.link.stats.bytes_received; }},
    {"bytes_sent", [](const LinkNode& n) -> uint64_t { return n.outbox.bytes_sent(); }},
    {"bytes_hunted", [](const LinkNode& n) -> uint64_t { return n.link.stats.bytes_hunted; }},
    {"resyncs", [](const LinkNode& n) -> uint64_t { return n.link.stats.resyncs; }},
    {"cut_short", [](const LinkNode& n) -> uint64_t { return n.link.stats.cut_short; }},
    {"listener_calls", [](const LinkNode& n) -> uint64_t { return n.link.heard.listener_calls; }},
    {"answers_held", [](const LinkNode& n) -> uint64_t { return n.link.heard.answers_held; }},
    {"write_timeouts", [](const LinkNode& n) -> uint64_t { return n.stats.write_timeouts; }},
    {"drops", [](const LinkNode& n) -> uint64_t { return n.stats.drops; }},
    {"reconnects", [](const LinkNode& n) -> uint64_t { return n.stats.reconnects; }},
    {"backlog", [](const LinkNode& n) -> uint64_t { return n.outbox.size(); }},
};

py::tuple stats_fields()
{
    py::list names;
    names.append("results");
    for (const NamedCounter& counter : COUNTERS) {
        names.append(counter.name);
    }
    return py::tuple(names);
}

py::dict stats_of(LinkNode& node)
{
    Guard guard(node.lock);
    py::dict results;
    for (size_t status = 0; status < korva::link::STATUS_COUNT; ++status) {
        if (node.link.heard.results[status] != 0) {
            results[resolve_status(static_cast<Korva_Status_t>(status))] = node.link.heard.results[status];
        }
    }
    py::dict out;
    out["results"] = results;
    for (const NamedCounter& counter : COUNTERS) {
        out[counter.name] = counter.value(node);
    }
    return out;
}

Korva_Status_t feed(LinkNode& node, const py::bytes& data)
{
    Guard guard(node.lock);
    const std::string bytes = data;
    size_t done = 0;
    Korva_Status_t status = KORVA_STATUS_DEFAULT;
    while (done < bytes.size()) {
        const Clock::time_point now = Clock::now();
        const size_t taken = node.feed(reinterpret_cast<const uint8_t*>(bytes.data()) + done, bytes.size() - done, now);
        if (taken == 0 && node.link.cutting()) {
            throw py::buffer_error("the receive buffer is full while the listener runs");
        }
        done += taken;
        status = node.service(now, node.observer());
    }
    return status;
}

py::object stale_in(LinkNode& node)
{
    if (node.link.rx.empty()) {
        return py::none();
    }
    const korva::link::Tick left = node.link.stale_in(korva::link::tick_of(Clock::now()));
    return py::float_(in_seconds(korva::link::duration_of(left)));
}

// For a node whose line is driven from elsewhere (an event loop, a test):
// everything the backlog holds, in order, now off the node's hands.
py::bytes take_output(LinkNode& node)
{
    Guard guard(node.lock);
    return py::bytes(node.outbox.take_all());
}

bool abandon_stream(LinkNode& node)
{
    Guard guard(node.lock);
    return guarded(node, false, [&] { return node.abandon_stream(WaitWithoutGil{}); });
}

// One event of an event loop's reader: read, cut, listen. Returns whether
// output waits for the loop's writer, and the seconds until the fragment
// left in the buffer goes stale (None: nothing left).
py::tuple loop_read(LinkNode& node)
{
    Guard guard(node.lock);
    static_cast<void>(guarded(node, KORVA_STATUS_DEFAULT, [&] { return node.service(Clock::now(), node.observer()); }));
    return py::make_tuple(node.outbox.size() != 0, stale_in(node));
}

// One event of an event loop's writer: what the line takes now. True when
// output still waits.
bool loop_write(LinkNode& node)
{
    Guard guard(node.lock);
    return guarded(node, false, [&] {
        node.drain_now();
        return node.outbox.size() != 0;
    });
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
            "send",
            [](LinkNode& self, uint8_t type, uint8_t receiver_id, uint8_t message_id,
               const std::vector<uint8_t>& buffer, uint8_t len, uint8_t count) {
                const auto message_type = static_cast<Korva_message_types>(type & korva::MESSAGE_TYPE_MASK);
                return locked_send(self, [&] {
                    return self.send(message_type, receiver_id, message_id, payload_of(buffer, len), len, count);
                });
            },
            py::arg("t"), py::arg("receiver_id"), py::arg("message_id"), py::arg("buffer"), py::arg("len"),
            py::arg("count"),
            "Send one frame of type `t` (message ids 0 to 63) through the engine, with `count` attempts.")
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
                return guarded(self, KORVA_STATUS_DEFAULT, [&] { return self.service(Clock::now(), self.observer()); });
            },
            "Read what the line has and run the listener on every whole frame; never waits. Returns the last listener "
            "status, KORVA_STATUS_DEFAULT if none ran.")
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
             "End an open streamed frame without its trailer, then send the answers held during it; "
             "false if none was open.")
        .def("_loop_read", &loop_read)
        .def("_loop_write", &loop_write)
        .def_readwrite("_frame_observer", &LinkNode::frame_observer)
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
            "_attach",
            [](LinkNode& self, PosixLine& line, double gap, bool drain_thread) {
                Guard guard(self.lock);
                self.attach(std::move(line), seconds(gap), drain_thread);
            },
            py::arg("line"), py::arg("gap"), py::arg("drain_thread"),
            "Take over `line` (a Line, left closed); an event loop drains it itself without a drain thread.")
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
                 py::gil_scoped_release nogil;
                 self.close_line();
             })
        .def_readwrite("reconnect", &LinkNode::reconnect,
                       "Whether a failed line is let go and reported to `_line_dropped` instead of raising.")
        .def_property_readonly(
            "line_up", [](const LinkNode& self) { return !self.dropped(); },
            "False while a dropped line waits to be replaced.")
        .def_property_readonly("closed", [](const LinkNode& self) { return !self.has_line(); })
        .def_property_readonly("line_name", [](const LinkNode& self) { return self.line.name(); })
        .def_property_readonly("backlog", [](const LinkNode& self) { return self.outbox.size(); })
        .def_property_readonly(
            "stale_in",
            [](LinkNode& self) {
                Guard guard(self.lock);
                return stale_in(self);
            },
            "Seconds until the buffered fragment goes stale (`pump` then drops it), None when nothing is "
            "buffered; for nodes fed from an event loop.")
        .def_property(
            "inter_byte_gap", [](const LinkNode& self) { return in_seconds(korva::link::duration_of(self.link.gap)); },
            [](LinkNode& self, double value) { self.link.gap = korva::link::ticks_of(seconds(value)); },
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
            py::arg("max_bytes") = korva::link::RX_CAPACITY,
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

void register_cutter(py::module_& m)
{
    py::class_<WireCutter>(m, "Cutter", "The link's cutter with no engine behind it, for tools that watch a line.")
        .def(py::init<double>(), py::arg("gap"))
        .def("feed", &WireCutter::feed, py::arg("data"), py::arg("now"),
             "Take `data`, arrived at `now` (seconds); the pieces it completed, as (kind, time of the first "
             "byte, bytes, verdict) tuples, kind being 'noise', 'frame' or 'stale'.")
        .def("expire", &WireCutter::expire, py::arg("now"), "The pieces the line's quiet until `now` completed.")
        .def("finish", &WireCutter::finish, "Every piece still pending, as if the line had gone quiet for good.")
        .def("stats", &WireCutter::stats, "The cutter's counters, as a dict.");
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
    register_cutter(m);
    m.def(
        "default_gap", [](unsigned baud) { return in_seconds(korva::link::default_gap(baud)); }, py::arg("baud"),
        "Seconds a fragment may wait for the rest of its frame on a line at `baud`.");
    m.attr("SEND_ROOM") = korva::link::SEND_ROOM;
    m.attr("BACKLOG_CAPACITY") = korva::link::TxBacklog::CAPACITY;
    m.attr("STATS_FIELDS") = stats_fields();
}
