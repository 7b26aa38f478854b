// How Python's calls reach a LinkNode, by the thread rules stated beside
// the node (korva_link_node.hpp): each call takes the node's lock, lets go
// of the interpreter lock only around waits, hands what a service brought
// in to Python once the service is over, and meets a failed line by the
// node's reconnection setting.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include <pybind11/pybind11.h>

#include "korva_link_node.hpp"
#include "link/korva_node.hpp"

namespace py = pybind11;

namespace link_calls {

using korva::link::Clock;
using korva::link::Duration;
using Guard = std::lock_guard<NodeLock>;

inline Duration seconds(double value)
{
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(value));
}

inline double in_seconds(Duration value) { return std::chrono::duration<double>(value).count(); }

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

// A node with reconnection on lets go of a line that fails and tells its
// Python side, which brings a new one; until then each call reports what
// it reports when the line has nothing for it. Without reconnection the
// failure is the caller's, as OSError, and stays the line's (see
// korva::link::Node): every later send raises it too.
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

// One send operation once the backlog has room; the status as the enum value made once.
template <class Operation>
py::object send(LinkNode& node, Operation&& operation)
{
    Guard guard(node.lock);
    if (node.shut) {
        throw py::value_error("the node is closed: nothing can be sent");
    }
    const Korva_Status_t status =
        guarded(node, KORVA_STATUS_TIMEOUT, [&] { return node.with_room(operation, WaitWithoutGil{}); });
    return CallbackValues::get().status(status);
}

// A call that may run the listener: what it brought in goes to Python
// once it is over, still under the node's lock.
template <class Operation>
auto listening(LinkNode& node, Operation&& operation) -> decltype(operation())
{
    Guard guard(node.lock);
    auto result = operation();
    node.hand_over();
    return result;
}

// One non-blocking round on the line: read, cut, listen.
inline Korva_Status_t service(LinkNode& node)
{
    return listening(node, [&] {
        return guarded(node, KORVA_STATUS_DEFAULT, [&] { return node.service(Clock::now(), node.observer()); });
    });
}

// While the line is down a poll waits for it to come back, then polls the
// new line for the time left.
inline Korva_Status_t poll(LinkNode& node, double timeout)
{
    constexpr Duration down_check = std::chrono::milliseconds(10);
    return listening(node, [&] {
        const Clock::time_point deadline = Clock::now() + seconds(timeout);
        while (node.dropped()) {
            const Clock::time_point now = Clock::now();
            if (now >= deadline) {
                return KORVA_STATUS_DEFAULT;
            }
            WaitUnlocked{node.lock}(
                [&] { std::this_thread::sleep_for(std::min<Duration>(deadline - now, down_check)); });
        }
        return guarded(node, KORVA_STATUS_DEFAULT,
                       [&] { return node.poll(deadline - Clock::now(), WaitUnlocked{node.lock}, node.observer()); });
    });
}

// Bytes that came from elsewhere, buffered and listened to as they fit.
inline Korva_Status_t feed(LinkNode& node, const py::bytes& data)
{
    return listening(node, [&] {
        const std::string bytes = data;
        size_t done = 0;
        Korva_Status_t status = KORVA_STATUS_DEFAULT;
        while (done < bytes.size()) {
            const Clock::time_point now = Clock::now();
            const size_t taken =
                node.feed(reinterpret_cast<const uint8_t*>(bytes.data()) + done, bytes.size() - done, now);
            if (taken == 0 && node.link.cutting()) {
                throw py::buffer_error("the receive buffer is full while the listener runs");
            }
            done += taken;
            status = node.service(now, node.observer());
        }
        return status;
    });
}

inline py::object stale_in(LinkNode& node)
{
    if (node.link.rx.empty()) {
        return py::none();
    }
    const korva::link::Tick left = node.link.stale_in(korva::link::tick_of(Clock::now()));
    return py::float_(in_seconds(korva::link::duration_of(left)));
}

// For a node whose line is driven from elsewhere (an event loop, a test):
// everything the backlog holds, in order, now off the node's hands.
inline py::bytes take_output(LinkNode& node)
{
    Guard guard(node.lock);
    return py::bytes(node.outbox.take_all());
}

inline bool abandon_stream(LinkNode& node)
{
    Guard guard(node.lock);
    return guarded(node, false, [&] { return node.abandon_stream(WaitWithoutGil{}); });
}

inline bool flush(LinkNode& node, double timeout)
{
    Guard guard(node.lock);
    return guarded(node, false, [&] { return node.flush(seconds(timeout), WaitWithoutGil{}); });
}

// Reads one event of an event loop's reader takes at most: a line that
// holds more than the buffer waits for no other pass, and cannot hold up
// the other lines either.
constexpr int reads_per_event = 16;

// One event of an event loop's reader: read what the line holds, cut,
// listen. Returns whether output waits for the loop's writer, and the
// seconds until the fragment left in the buffer goes stale (None: nothing
// left).
inline py::tuple loop_read(LinkNode& node)
{
    Guard guard(node.lock);
    for (int reads = 0; reads < reads_per_event; ++reads) {
        static_cast<void>(service(node));
        if (!node.more_waiting()) {
            break;
        }
    }
    return py::make_tuple(node.outbox.size() != 0, stale_in(node));
}

// One event of an event loop's writer: what the line takes now. True when
// output still waits.
inline bool loop_write(LinkNode& node)
{
    Guard guard(node.lock);
    return guarded(node, false, [&] {
        node.drain_now();
        return node.outbox.size() != 0;
    });
}

// Lets go of the line: what is queued gets `write_timeout` to go out, with
// the interpreter free meanwhile.
inline void close(LinkNode& node)
{
    Guard guard(node.lock);
    node.shut = true;
    py::gil_scoped_release nogil;
    node.close_line();
}

// Any call that only needs the node to itself.
template <class Operation>
auto exclusive(LinkNode& node, Operation&& operation) -> decltype(operation())
{
    Guard guard(node.lock);
    return operation();
}

// Hook methods a Python subclass must not define: the link serves them.
inline void refuse_port_hooks(const py::type& cls, const py::kwargs&)
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

inline py::tuple stats_fields()
{
    py::list names;
    names.append("results");
    for (const NamedCounter& counter : COUNTERS) {
        names.append(counter.name);
    }
    return py::tuple(names);
}

inline py::dict stats_of(LinkNode& node)
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

} // namespace link_calls
