// The _korva_link extension module: the node class on the native link core,
// the link's cutter for tools that only watch a line, and a bare line.
#include <cstdint>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "korva_link_calls.hpp"
#include "korva_records.hpp"
#include "korva_wire_cutter.hpp"
#include "link/korva_node.hpp"

namespace py = pybind11;
using korva::link::PosixLine;
using link_calls::exclusive;
using link_calls::in_seconds;
using link_calls::listening;
using link_calls::seconds;

namespace {

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
                return link_calls::send(self, [&] {
                    return self.write(receiver_id, message_id, payload_of(buffer, len), len, self.default_attempts);
                });
            },
            py::arg("receiver_id"), py::arg("message_id"), py::arg("buffer"), py::arg("len"))
        .def(
            "write_public",
            [](LinkNode& self, uint8_t message_id, const std::vector<uint8_t>& buffer, uint8_t len) {
                return link_calls::send(self, [&] {
                    return self.write_public(message_id, payload_of(buffer, len), len, self.default_attempts);
                });
            },
            py::arg("message_id"), py::arg("buffer"), py::arg("len"))
        .def(
            "start_write_queue",
            [](LinkNode& self, Korva_event_types type, uint8_t receiver_id, uint8_t message_id, uint8_t len,
               uint8_t attempts) {
                return link_calls::send(
                    self, [&] { return self.start_write_queue(type, receiver_id, message_id, len, attempts); });
            },
            py::arg("t"), py::arg("receiver_id"), py::arg("message_id"), py::arg("len"), py::arg("attempts"))
        .def(
            "push_to_queue",
            [](LinkNode& self, const std::vector<uint8_t>& buffer, uint8_t len) {
                return link_calls::send(
                    self, [&] { return self.push_to_queue(payload_of(buffer, len), len, self.default_attempts); });
            },
            py::arg("buffer"), py::arg("len"))
        .def(
            "finalize_queue",
            [](LinkNode& self, uint8_t attempts) {
                return link_calls::send(self, [&] { return self.finalize_queue(attempts); });
            },
            py::arg("attempts"))
        .def(
            "send",
            [](LinkNode& self, uint8_t type, uint8_t receiver_id, uint8_t message_id,
               const std::vector<uint8_t>& buffer, uint8_t len, uint8_t attempts) {
                const auto message_type = static_cast<Korva_message_types>(type & korva::MESSAGE_TYPE_MASK);
                return link_calls::send(self, [&] {
                    return self.send(message_type, receiver_id, message_id, payload_of(buffer, len), len, attempts);
                });
            },
            py::arg("t"), py::arg("receiver_id"), py::arg("message_id"), py::arg("buffer"), py::arg("len"),
            py::arg("attempts"),
            "Send one frame of type `t` (message ids 0 to 63) through the engine, trying up to `attempts` times.")
        .def("listener", [](LinkNode& self) { return listening(self, [&] { return self.listener(); }); })
        .def("handle_message_data",
             [](LinkNode& self, const std::vector<uint8_t>& data, uint16_t len) {
                 return listening(self, [&] {
                     return self.handle_message_data(data.empty() ? nullptr : data.data(), data.size(), len);
                 });
             })
        .def("feed", &link_calls::feed, py::arg("data"),
             "Buffer bytes that came from elsewhere and run the listener on every whole frame.")
        .def("service", &link_calls::service,
             "Read what the line has and run the listener on every whole frame; never waits. Returns the last "
             "listener status, KORVA_STATUS_DEFAULT if none ran.")
        .def("poll", &link_calls::poll, py::arg("timeout"),
             "Wait up to `timeout` seconds for a whole frame, then run the listener on every whole frame "
             "buffered; returns the last listener status, KORVA_STATUS_DEFAULT if none came.")
        .def("flush", &link_calls::flush, py::arg("timeout"),
             "Wait up to `timeout` seconds until every queued byte is on the line.")
        .def("take_output", &link_calls::take_output,
             "Remove and return every byte queued for the line, for a node without one of its own.")
        .def("abandon_stream", &link_calls::abandon_stream,
             "End an open streamed frame without its trailer, then send the answers held during it; "
             "false if none was open.")
        .def("_loop_read", &link_calls::loop_read)
        .def("_loop_write", &link_calls::loop_write)
        .def_readwrite("_frame_observer", &LinkNode::frame_observer)
        .def_property_readonly("own_id", [](const LinkNode& self) { return self.own_id(); })
        .def("assign_new_id", [](LinkNode& self, uint8_t id) { exclusive(self, [&] { self.assign_new_id(id); }); })
        .def("set_fixed_packet_size",
             [](LinkNode& self, uint16_t size) { exclusive(self, [&] { self.set_fixed_packet_size(size); }); })
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
                exclusive(self, [&] { self.attach(std::move(line), seconds(gap), drain_thread); });
            },
            py::arg("line"), py::arg("gap"), py::arg("drain_thread"),
            "Take over `line` (a Line, left closed); an event loop drains it itself without a drain thread.")
        .def(
            "_open_tty",
            [](LinkNode& self, const std::string& path, unsigned baud) {
                exclusive(self, [&] { self.attach(PosixLine::open_tty(path, baud), korva::link::default_gap(baud)); });
            },
            py::arg("path"), py::arg("baud"))
        .def(
            "_adopt_tty",
            [](LinkNode& self, int fd, const std::string& name, unsigned baud) {
                exclusive(self,
                          [&] { self.attach(PosixLine::adopt_tty(fd, name, baud), korva::link::default_gap(baud)); });
            },
            py::arg("fd"), py::arg("name"), py::arg("baud"))
        .def(
            "_adopt",
            [](LinkNode& self, int fd, const std::string& name, double gap) {
                exclusive(self, [&] { self.attach(PosixLine::adopt(fd, name), seconds(gap)); });
            },
            py::arg("fd"), py::arg("name"), py::arg("gap"))
        .def("_close", &link_calls::close)
        .def_readwrite("reconnect", &LinkNode::reconnect,
                       "Whether a failed line is let go and reported to `_line_dropped` instead of raising.")
        .def_property_readonly(
            "line_up", [](const LinkNode& self) { return !self.dropped(); },
            "False while a dropped line waits to be replaced.")
        .def_property_readonly("closed", [](const LinkNode& self) { return !self.has_line(); })
        .def_property_readonly("line_name", [](const LinkNode& self) { return self.line.name(); })
        .def_property_readonly("backlog", [](const LinkNode& self) { return self.outbox.size(); })
        .def_property_readonly(
            "stale_in", [](LinkNode& self) { return exclusive(self, [&] { return link_calls::stale_in(self); }); },
            "Seconds until the buffered fragment goes stale (`service` then drops it), None when nothing is "
            "buffered; for nodes fed from an event loop.")
        .def_property(
            "inter_byte_gap", [](const LinkNode& self) { return in_seconds(korva::link::duration_of(self.link.gap)); },
            [](LinkNode& self, double value) { self.link.gap = korva::link::ticks_of(seconds(value)); },
            "Seconds a fragment may wait for its continuation before it is dropped.")
        .def_property(
            "write_timeout", [](const LinkNode& self) { return in_seconds(self.write_timeout); },
            [](LinkNode& self, double value) { self.write_timeout = seconds(value); },
            "Seconds a send waits for room in the transmit backlog.")
        .def("link_stats", &link_calls::stats_of, "The link's counters, as a dict.");

    const py::object check = py::cpp_function(&link_calls::refuse_port_hooks);
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
                return line.wait(readable, writable, seconds(timeout));
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
    m.attr("DEFAULT_ATTEMPTS") = DEFAULT_ATTEMPTS;
    m.attr("SEND_ROOM") = korva::link::SEND_ROOM;
    m.attr("BACKLOG_CAPACITY") = korva::link::TxBacklog::CAPACITY;
    m.attr("STATS_FIELDS") = link_calls::stats_fields();
}
