// A node on a POSIX line: an engine class with a `Link` under it for what
// comes in, an `Outbox` for what goes out, and the waiting that a host
// program needs (`poll`, `send`, `flush`). Each wait takes an `around_wait`
// callable that runs the blocking call, so a caller can let go of its own
// locks for exactly that long. A node is not thread-safe; a multi-threaded
// owner serialises its calls (the outbox's drain thread needs no lock of
// the owner's).
//
// A line that failed once stays failed until the next `attach`: every later
// call that needs it, a send above all, throws that same failure, so no send
// reports a frame as sent that has no line to go to.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "engine/korva.hpp"
#include "korva_arrivals.hpp"
#include "korva_link.hpp"
#include "korva_outbox.hpp"
#include "korva_posix_line.hpp"

namespace korva::link {

constexpr size_t RX_CAPACITY = 4096; // many frames, so one read() serves a whole burst
// Room a send waits for: its own frame plus an answer to every node whose
// reserved request the engine may be holding, each as long as a frame can be.
constexpr size_t SEND_ROOM = (1 + korva_public_4bit_adr::ID_COUNT) * MAX_FRAME_LENGTH;
static_assert(SEND_ROOM <= TxBacklog::CAPACITY, "the backlog must hold a send and every held answer");

// A fragment's wait for its rest, until a line sets its own.
constexpr Duration DEFAULT_GAP = std::chrono::milliseconds(10);

// A host's ticks are microseconds of the steady clock.
inline Tick tick_of(Clock::time_point when)
{
    return static_cast<Tick>(std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count());
}
inline Tick ticks_of(Duration span)
{
    return static_cast<Tick>(std::chrono::duration_cast<std::chrono::microseconds>(span).count());
}
inline Duration duration_of(Tick span) { return std::chrono::microseconds(span); }
inline double wall_clock()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// What the line side of a node has seen since the node was made.
struct LineStats {
    Count write_timeouts = 0;
    Count drops = 0;      // lines that failed and were let go
    Count reconnects = 0; // lines attached after a drop
};

// Runs the blocking call as is: for single-threaded owners.
struct PlainWait {
    template <class Wait>
    void operator()(Wait&& wait) const
    {
        wait();
    }
};

template <class Engine>
class Node : public Engine {
public:
    explicit Node(uint8_t id) : Engine(id) { link.gap = ticks_of(DEFAULT_GAP); }
    // What is still queued gets `write_timeout` to go out.
    ~Node() { let_go_of_line(); }

    Korva_Status_t port_write(const uint8_t* data, uint16_t len) override
    {
        return outbox.put(data, len) ? KORVA_STATUS_SUCCESS : KORVA_STATUS_TIMEOUT;
    }
    Korva_Status_t port_read(uint8_t* dst, uint16_t len) override { return link.port_read(dst, len); }
    uint64_t port_available() override { return link.port_available(); }

    // Hands the node its line; the inter-byte gap follows a tty's rate. An
    // event loop that drains the line itself passes `drain_thread` false.
    void attach(PosixLine new_line, Duration gap, bool drain_thread = true);
    bool has_line() const { return line.is_open(); }
    // Sends what is queued (up to `write_timeout`) and closes the line.
    void close_line() { let_go_of_line(); }
    // Lets go of a line that failed, with everything in flight on it; the
    // node is `dropped` until the next `attach`.
    void drop_line();
    bool dropped() const { return dropped_; }
    // Throws the line's failure, if it has failed; looks at the line itself
    // too, so a send refuses a line whose other end is gone.
    void check_line();

    // One non-blocking round: read what is there, run the listener on every
    // whole frame. Returns the last listener status. `observe` sees every
    // piece the link cuts first.
    template <class Observe = IgnoreCuts>
    Korva_Status_t service(Clock::time_point now, Observe&& observe = {});
    // Whether the last round's read filled the room it had: the line may
    // hold more than one read takes.
    bool more_waiting() const { return read_filled_; }
    // Buffers bytes that came from elsewhere than the line; returns how many fitted.
    size_t feed(const uint8_t* bytes, size_t len, Clock::time_point now);
    // Arrival time (seconds since the epoch) of a byte the link holds, for observers.
    double arrival_of(const uint8_t* byte) const { return arrivals.time_in(link.rx, byte); }

    // Waits up to `timeout` for at least one frame and runs the listener on
    // every whole frame buffered then; KORVA_STATUS_DEFAULT if none came.
    template <class AroundWait = PlainWait, class Observe = IgnoreCuts>
    Korva_Status_t poll(Duration timeout, AroundWait&& around_wait = {}, Observe&& observe = {});
    // Runs one send operation once the backlog has room for it and anything
    // the engine may add; without that room within `write_timeout` nothing
    // is sent and the result is KORVA_STATUS_TIMEOUT. A node without a line
    // sends whatever fits.
    template <class Send, class AroundWait = PlainWait>
    Korva_Status_t with_room(Send&& operation, AroundWait&& around_wait = {});
    // Waits until the backlog and the driver's queue have gone out on the line.
    template <class AroundWait = PlainWait>
    bool flush(Duration timeout, AroundWait&& around_wait = {});
    // Writes what the line takes now, for an owner that drains it from an event loop.
    void drain_now();
    // Ends an open streamed frame without its trailer: what went of it
    // leaves, the line stays quiet for one gap so that the peers drop the
    // fragment, then the engine forgets it and sends the answers it held.
    // False if none was open.
    template <class AroundWait = PlainWait>
    bool abandon_stream(AroundWait&& around_wait = {});

    Link<RX_CAPACITY> link;
    Arrivals arrivals;
    Outbox outbox;
    PosixLine line;
    LineStats stats;
    Duration write_timeout = std::chrono::seconds(1);

private:
    void read_line(Clock::time_point now);
    void let_go_of_line();
    // Runs `step`, which touches the line, unless the line failed before;
    // a failure it meets is kept as the line's.
    template <class Step>
    void on_line(Step&& step);

    bool dropped_ = false;
    bool read_filled_ = false;
    std::exception_ptr failure_;
};

// ---------------------------------------------------------------------------

template <class Engine>
void Node<Engine>::attach(PosixLine new_line, Duration gap, bool drain_thread)
{
    outbox.stop();
    line = std::move(new_line);
    link.gap = ticks_of(gap);
    failure_ = nullptr;
    if (drain_thread) {
        outbox.start(line);
    }
    if (dropped_) {
        dropped_ = false;
        ++stats.reconnects;
    }
}

template <class Engine>
void Node<Engine>::let_go_of_line()
{
    if (line.is_open()) {
        try {
            flush(write_timeout);
        } catch (const std::system_error&) {
            // the line is gone; what it could not take is lost either way
        }
    }
    outbox.stop();
    line.close();
}

// A piece half written can never be finished on another line, nor a
// fragment read from this one completed, and a streamed frame cannot go
// on: all of it goes with the line, so the next line starts clean.
template <class Engine>
void Node<Engine>::drop_line()
{
    outbox.stop();
    line.close();
    link.rx.drop(link.rx.size());
    Engine::abandon_stream();
    outbox.clear();
    dropped_ = true;
    ++stats.drops;
}

template <class Engine>
template <class Step>
void Node<Engine>::on_line(Step&& step)
{
    if (failure_) {
        std::rethrow_exception(failure_);
    }
    try {
        step();
    } catch (const std::system_error&) {
        failure_ = std::current_exception();
        throw;
    }
}

template <class Engine>
void Node<Engine>::check_line()
{
    on_line([&] {
        outbox.check();
        if (line.is_open()) {
            line.check_other_end();
        }
    });
}

template <class Engine>
void Node<Engine>::read_line(Clock::time_point now)
{
    read_filled_ = false;
    if (!line.is_open()) {
        return;
    }
    size_t room = 0;
    uint8_t* into = link.read_room(room);
    if (room != 0) {
        size_t got = 0;
        on_line([&] { got = line.read_some(into, room); });
        link.received(got, tick_of(now));
        arrivals.record(got, wall_clock());
        read_filled_ = got == room;
    }
}

template <class Engine>
void Node<Engine>::drain_now()
{
    on_line([&] { outbox.drain_now(line); });
}

template <class Engine>
size_t Node<Engine>::feed(const uint8_t* bytes, size_t len, Clock::time_point now)
{
    const size_t taken = link.feed(bytes, len, tick_of(now));
    arrivals.record(taken, wall_clock());
    return taken;
}

template <class Engine>
template <class Observe>
Korva_Status_t Node<Engine>::service(Clock::time_point now, Observe&& observe)
{
    on_line([&] { outbox.check(); });
    read_line(now);
    return link.service(*this, tick_of(now), observe);
}

template <class Engine>
template <class AroundWait, class Observe>
Korva_Status_t Node<Engine>::poll(Duration timeout, AroundWait&& around_wait, Observe&& observe)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        const Clock::time_point now = Clock::now();
        const Count calls_before = link.heard.listener_calls;
        const Korva_Status_t status = service(now, observe);
        if (link.heard.listener_calls != calls_before) {
            return status;
        }
        if (now >= deadline || !line.is_open()) {
            return KORVA_STATUS_DEFAULT;
        }
        // A fragment wakes the wait when it goes stale, so it cannot sit in
        // front of the next frame.
        Duration wait = deadline - now;
        if (!link.rx.empty()) {
            wait = std::min(wait, duration_of(link.stale_in(tick_of(now))));
        }
        wait = std::max<Duration>(wait, std::chrono::milliseconds(1));
        around_wait([&] { line.wait(true, false, wait); });
    }
}

template <class Engine>
template <class Send, class AroundWait>
Korva_Status_t Node<Engine>::with_room(Send&& operation, AroundWait&& around_wait)
{
    check_line();
    // Without a line the backlog is a buffer its owner empties (take_all):
    // a piece goes in if it fits.
    bool room = !line.is_open() || outbox.room() >= SEND_ROOM;
    if (!room && outbox.draining()) {
        const Clock::time_point deadline = Clock::now() + write_timeout;
        around_wait([&] { room = outbox.wait_for_room(SEND_ROOM, deadline); });
        on_line([&] { outbox.check(); }); // a wait the line's failure ended is that failure, not a timeout
    }
    if (!room) {
        ++stats.write_timeouts;
        return KORVA_STATUS_TIMEOUT;
    }
    const Korva_Status_t status = operation();
    if (status == KORVA_STATUS_TIMEOUT) {
        ++stats.write_timeouts;
    }
    return status;
}

template <class Engine>
template <class AroundWait>
bool Node<Engine>::flush(Duration timeout, AroundWait&& around_wait)
{
    constexpr Duration driver_check = std::chrono::milliseconds(1);
    const Clock::time_point deadline = Clock::now() + timeout;
    if (!line.is_open()) {
        return outbox.size() == 0;
    }
    if (!outbox.draining()) {
        outbox.start(line); // an event loop's node: drain from here on
    }
    bool emptied = false;
    around_wait([&] { emptied = outbox.wait_until_empty(deadline); });
    on_line([&] { outbox.check(); });
    while (emptied && line.output_queued() != 0) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        around_wait([&] { std::this_thread::sleep_for(std::min<Duration>(deadline - now, driver_check)); });
    }
    return emptied;
}

template <class Engine>
template <class AroundWait>
bool Node<Engine>::abandon_stream(AroundWait&& around_wait)
{
    if (!this->stream_open()) {
        return Engine::abandon_stream();
    }
    flush(write_timeout, around_wait);
    around_wait([&] { std::this_thread::sleep_for(duration_of(link.gap)); });
    return Engine::abandon_stream();
}

} // namespace korva::link
