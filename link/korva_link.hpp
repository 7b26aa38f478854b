// The link core: what sits between an engine and its line.
//
// `Link` serves the engine's three port hooks from memory: reads come from
// the receive buffer, writes go whole into the transmit backlog, and no hook
// ever waits. `pump` runs the engine's listener only while a whole frame is
// buffered, scans the bytes of a rejected frame again so that a good frame
// behind a false start is found, and drops fragments that went stale.
//
// `Node<Engine>` puts a `Link` under an engine class and a `PosixLine` under
// the link, and adds the waiting: `poll`, `make_room`, `flush`. Each takes an
// `around_wait` callable that runs the blocking system call, so a caller can
// let go of its own locks for exactly that long. A node is not thread-safe;
// a multi-threaded owner serialises its calls.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "engine/korva.hpp"
#include "korva_posix_line.hpp"
#include "korva_rx_buffer.hpp"
#include "korva_tx_backlog.hpp"

namespace korva::link {

using Clock = std::chrono::steady_clock;

constexpr size_t STATUS_COUNT = KORVA_STATUS_NULL_MESSAGE + 1;
// Room a send waits for: its own frame plus an answer to every node whose
// reserved request the engine may be holding, each as long as a frame can be.
constexpr size_t SEND_ROOM = (1 + korva_public_4bit_adr::ID_COUNT) * MAX_FRAME_LENGTH;
static_assert(SEND_ROOM <= TxBacklog::CAPACITY, "the backlog must hold a send and every held answer");

// What a link has seen since its node was made.
struct LinkStats {
    uint64_t results[STATUS_COUNT]{}; // listener calls by status: SUCCESS, CRC_ERROR, ... delivered
    uint64_t listener_calls = 0;
    uint64_t bytes_received = 0;
    uint64_t bytes_sent = 0;
    uint64_t bytes_hunted = 0; // dropped while looking for a start byte
    uint64_t bytes_stale = 0;  // start bytes of fragments whose rest never came
    uint64_t resyncs = 0;      // rejected frames whose bytes were scanned again
    uint64_t cut_short = 0;    // frames dropped because the line went quiet inside them
    uint64_t write_timeouts = 0;
    uint64_t answers_held = 0; // reserved requests answered after a streamed frame
    uint64_t drops = 0;        // lines that failed and were let go
    uint64_t reconnects = 0;   // lines attached after a drop
};

class Link {
public:
    Korva_Status_t port_write(const uint8_t* data, uint16_t len);
    Korva_Status_t port_read(uint8_t* dst, uint16_t len);
    uint64_t port_available() const { return rx.size(); }

    // Buffers bytes that came from the line; returns how many fitted.
    size_t feed(const uint8_t* bytes, size_t len, Clock::time_point now);
    // Room for the next read() straight into the buffer, and its accounting.
    uint8_t* read_room(size_t& room);
    void received(size_t count, Clock::time_point now);

    template <class Engine>
    Korva_Status_t pump(Engine& engine, Clock::time_point now);
    bool pumping() const { return pumping_; }
    // When the bytes buffered now go stale, if nothing follows them.
    Clock::time_point stale_at() const { return last_arrival_ + gap; }

    RxBuffer rx;
    TxBacklog backlog;
    LinkStats stats;
    Duration gap = std::chrono::milliseconds(10);

private:
    template <class Engine>
    Korva_Status_t take_frame(Engine& engine);
    template <class Engine>
    bool was_held(const Engine& engine, size_t start) const;
    bool checks_out(size_t start, size_t length) const;

    Clock::time_point last_arrival_{};
    bool pumping_ = false;
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
    explicit Node(uint8_t id) : Engine(id) {}

    Korva_Status_t port_write(const uint8_t* data, uint16_t len) override { return link.port_write(data, len); }
    Korva_Status_t port_read(uint8_t* dst, uint16_t len) override { return link.port_read(dst, len); }
    uint64_t port_available() override { return link.port_available(); }

    // Hands the node its line; the inter-byte gap follows a tty's rate.
    void attach(PosixLine new_line, Duration gap);
    bool has_line() const { return line.is_open(); }
    // Lets go of a line that failed, with everything in flight on it; the
    // node is `dropped` until the next `attach`.
    void drop_line();
    bool dropped() const { return dropped_; }

    // One non-blocking round: send what is queued, read what is there, run
    // the listener on every whole frame. Returns the last listener status.
    Korva_Status_t service(Clock::time_point now);
    Korva_Status_t pump() { return link.pump(*this, Clock::now()); }
    void drain();

    // Waits up to `timeout` for at least one frame and runs the listener on
    // every whole frame buffered then; KORVA_STATUS_DEFAULT if none came.
    template <class AroundWait = PlainWait>
    Korva_Status_t poll(Duration timeout, AroundWait&& around_wait = {});
    // Runs one send operation once the backlog has room for it and anything
    // the engine may add; a send that could not queue its piece is counted.
    template <class Send, class AroundWait = PlainWait>
    Korva_Status_t send(Send&& operation, AroundWait&& around_wait = {});
    template <class AroundWait = PlainWait>
    bool make_room(size_t bytes, Duration timeout, AroundWait&& around_wait = {});
    // Waits until the backlog and the driver's queue have gone out on the line.
    template <class AroundWait = PlainWait>
    bool flush(Duration timeout, AroundWait&& around_wait = {});

    Link link;
    PosixLine line;
    Duration write_timeout = std::chrono::seconds(1);

private:
    void read_line(Clock::time_point now);

    bool dropped_ = false;
};

// ---------------------------------------------------------------------------

inline Korva_Status_t Link::port_write(const uint8_t* data, uint16_t len)
{
    return backlog.put(data, len) ? KORVA_STATUS_SUCCESS : KORVA_STATUS_TIMEOUT;
}

inline Korva_Status_t Link::port_read(uint8_t* dst, uint16_t len)
{
    return rx.read(dst, len) ? KORVA_STATUS_SUCCESS : KORVA_STATUS_TIMEOUT;
}

// A frame the pump is working on stays where it is until the pump is done.
inline uint8_t* Link::read_room(size_t& room)
{
    if (!pumping_) {
        rx.compact();
    }
    room = rx.tail_room();
    return rx.tail();
}

inline void Link::received(size_t count, Clock::time_point now)
{
    if (count == 0) {
        return;
    }
    rx.commit(count);
    stats.bytes_received += count;
    last_arrival_ = now;
}

inline size_t Link::feed(const uint8_t* bytes, size_t len, Clock::time_point now)
{
    size_t room = 0;
    uint8_t* into = read_room(room);
    const size_t taken = std::min(len, room);
    std::copy_n(bytes, taken, into);
    received(taken, now);
    return taken;
}

template <class Engine>
Korva_Status_t Link::pump(Engine& engine, Clock::time_point now)
{
    Korva_Status_t last = KORVA_STATUS_DEFAULT;
    if (pumping_) {
        return last; // a callback's own poll: the running pump takes what came
    }
    pumping_ = true;
    for (;;) {
        stats.bytes_hunted += rx.hunt();
        if (rx.whole_frame()) {
            last = take_frame(engine);
            continue;
        }
        if (rx.empty() || now < stale_at()) {
            break;
        }
        // Nothing came to complete this frame: give up its start byte and
        // look for a frame among the bytes behind it.
        rx.drop(1);
        ++stats.bytes_stale;
        ++stats.cut_short;
    }
    pumping_ = false;
    return last;
}

template <class Engine>
Korva_Status_t Link::take_frame(Engine& engine)
{
    const size_t start = rx.position();
    const size_t length = rx.frame_length();
    const Korva_Status_t status = engine.listener();
    ++stats.listener_calls;
    ++stats.results[std::min<size_t>(status, STATUS_COUNT - 1)];
    if (status == KORVA_STATUS_DEFAULT && was_held(engine, start)) {
        ++stats.answers_held;
    }
    // The engine reads a frame for another node without checking it, so a
    // false start with a foreign address would swallow the frames behind it.
    const bool rejected =
        engine.is_packet_broken(status) || (status == KORVA_STATUS_PORT_BUSY && !checks_out(start, length));
    if (rejected) {
        rx.rewind_to(start + 1);
        ++stats.resyncs;
    }
    return status;
}

template <class Engine>
bool Link::was_held(const Engine& engine, size_t start) const
{
    const uint8_t* frame = rx.at(start);
    const bool reserved_request =
        message_type_of(frame[3]) == KV_REQUEST_EVENT && message_id_of(frame[3]) >= FIRST_RESERVED_ID;
    const uint8_t requester = korva_public_4bit_adr::transmitter(frame[2]);
    return reserved_request && (engine.held_answers & (1u << requester)) != 0;
}

inline bool Link::checks_out(size_t start, size_t length) const
{
    const uint8_t* frame = rx.at(start);
    const size_t checked = length - FRAME_TRAILER_SIZE;
    const uint16_t crc = crc16(frame, static_cast<uint16_t>(checked), CRC16_INIT);
    return frame[length - 1] == MESSAGE_END && frame[checked] == crc_high(crc) && frame[checked + 1] == crc_low(crc);
}

// ---------------------------------------------------------------------------

template <class Engine>
void Node<Engine>::attach(PosixLine new_line, Duration gap)
{
    line = std::move(new_line);
    link.gap = gap;
    if (dropped_) {
        dropped_ = false;
        ++link.stats.reconnects;
    }
}

// A piece half written can never be finished on another line, nor a
// fragment read from this one completed, and a streamed frame cannot go
// on: all of it goes with the line, so the next line starts clean.
template <class Engine>
void Node<Engine>::drop_line()
{
    line.close();
    link.rx.drop(link.rx.size());
    link.backlog.pop(link.backlog.size());
    this->tx_flags = 0;
    dropped_ = true;
    ++link.stats.drops;
}

template <class Engine>
void Node<Engine>::drain()
{
    while (line.is_open() && !link.backlog.empty()) {
        size_t len = 0;
        const uint8_t* run = link.backlog.front(len);
        const size_t put = line.write_some(run, len);
        if (put == 0) {
            return;
        }
        link.backlog.pop(put);
        link.stats.bytes_sent += put;
    }
}

template <class Engine>
void Node<Engine>::read_line(Clock::time_point now)
{
    if (!line.is_open()) {
        return;
    }
    size_t room = 0;
    uint8_t* into = link.read_room(room);
    if (room != 0) {
        link.received(line.read_some(into, room), now);
    }
}

template <class Engine>
Korva_Status_t Node<Engine>::service(Clock::time_point now)
{
    drain();
    read_line(now);
    const Korva_Status_t status = link.pump(*this, now);
    drain(); // answers the listener gave
    return status;
}

template <class Engine>
template <class AroundWait>
Korva_Status_t Node<Engine>::poll(Duration timeout, AroundWait&& around_wait)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        const Clock::time_point now = Clock::now();
        const uint64_t calls_before = link.stats.listener_calls;
        const Korva_Status_t status = service(now);
        if (link.stats.listener_calls != calls_before) {
            return status;
        }
        if (now >= deadline || !line.is_open()) {
            return KORVA_STATUS_DEFAULT;
        }
        // A fragment wakes the wait when it goes stale, so it cannot sit in
        // front of the next frame.
        const Clock::time_point until = link.rx.empty() ? deadline : std::min(deadline, link.stale_at());
        const Duration wait = std::max<Duration>(until - now, std::chrono::milliseconds(1));
        around_wait([&] { line.wait(true, !link.backlog.empty(), wait); });
    }
}

template <class Engine>
template <class AroundWait>
bool Node<Engine>::make_room(size_t bytes, Duration timeout, AroundWait&& around_wait)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        drain();
        if (link.backlog.room() >= bytes) {
            return true;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline || !line.is_open()) {
            return false;
        }
        around_wait([&] { line.wait(false, true, deadline - now); });
    }
}

template <class Engine>
template <class Send, class AroundWait>
Korva_Status_t Node<Engine>::send(Send&& operation, AroundWait&& around_wait)
{
    make_room(SEND_ROOM, write_timeout, around_wait);
    const Korva_Status_t status = operation();
    if (status == KORVA_STATUS_TIMEOUT) {
        ++link.stats.write_timeouts;
    }
    drain();
    return status;
}

template <class Engine>
template <class AroundWait>
bool Node<Engine>::flush(Duration timeout, AroundWait&& around_wait)
{
    constexpr Duration driver_check = std::chrono::milliseconds(1);
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        drain();
        const bool backlog_left = !link.backlog.empty();
        if (!backlog_left && (!line.is_open() || line.output_queued() == 0)) {
            return true;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline || !line.is_open()) {
            return false;
        }
        const Duration wait = backlog_left ? deadline - now : std::min<Duration>(deadline - now, driver_check);
        around_wait([&] { line.wait(false, backlog_left, wait); });
    }
}

} // namespace korva::link
