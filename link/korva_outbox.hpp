// What a node has sent and the line has not taken yet. Sends queue whole
// pieces into the backlog and return; a drain thread of the outbox's own
// writes them out as fast as the line takes them, so a frame reported as
// sent reaches the line without any later call. Only a line failure stops
// it: the thread then ends and keeps the error for the node's next call.
//
// An owner that drives the line from an event loop runs no thread and calls
// drain_now() when the line is writable instead.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "korva_posix_line.hpp"
#include "korva_tx_backlog.hpp"

namespace korva::link {

using Clock = std::chrono::steady_clock;

class Outbox {
public:
    Outbox() = default;
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;
    ~Outbox() { stop(); }

    // Queues the whole piece, or nothing when it does not fit.
    bool put(const uint8_t* data, size_t len);
    size_t size() const;
    size_t room() const;
    uint64_t bytes_sent() const;

    // Drains to `line` from a thread until stop(); `line` must outlive it.
    void start(PosixLine& line);
    void stop();
    bool draining() const { return thread_.joinable(); }
    // Writes what `line` takes now, without waiting; throws on a line failure.
    void drain_now(PosixLine& line);
    // Rethrows the failure that ended the drain thread, if one did.
    void check() const;

    // Waits for the drain thread to make room, or to empty the backlog.
    bool wait_for_room(size_t bytes, Clock::time_point deadline);
    bool wait_until_empty(Clock::time_point deadline);
    // Lets go of everything queued: the line it was meant for is gone.
    void clear();
    // Everything queued, now off the outbox's hands, for owners without a line.
    std::string take_all();

private:
    void run(PosixLine& line);
    size_t write_front(PosixLine& line, std::unique_lock<std::mutex>& held);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    TxBacklog backlog_;
    uint64_t bytes_sent_ = 0;
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

// How long the drain thread waits for a full line before it looks whether
// it should stop.
constexpr std::chrono::milliseconds DRAIN_STOP_CHECK{50};

inline bool Outbox::put(const uint8_t* data, size_t len)
{
    std::lock_guard<std::mutex> held(mutex_);
    if (!backlog_.put(data, len)) {
        return false;
    }
    changed_.notify_all();
    return true;
}

inline size_t Outbox::size() const
{
    std::lock_guard<std::mutex> held(mutex_);
    return backlog_.size();
}

inline size_t Outbox::room() const
{
    std::lock_guard<std::mutex> held(mutex_);
    return backlog_.room();
}

inline uint64_t Outbox::bytes_sent() const
{
    std::lock_guard<std::mutex> held(mutex_);
    return bytes_sent_;
}

inline void Outbox::start(PosixLine& line)
{
    stop();
    std::lock_guard<std::mutex> held(mutex_);
    stopping_ = false;
    failure_ = nullptr;
    thread_ = std::thread([this, &line] { run(line); });
}

inline void Outbox::stop()
{
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> held(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    thread_.join();
}

// Writes the oldest run with the lock let go: only this writer pops, and a
// put never moves bytes already queued, so the run stays put meanwhile.
inline size_t Outbox::write_front(PosixLine& line, std::unique_lock<std::mutex>& held)
{
    size_t len = 0;
    const uint8_t* run = backlog_.front(len);
    held.unlock();
    size_t put = 0;
    try {
        put = line.write_some(run, len);
    } catch (...) {
        held.lock();
        throw;
    }
    held.lock();
    backlog_.pop(put);
    bytes_sent_ += put;
    if (put != 0) {
        changed_.notify_all();
    }
    return put;
}

inline void Outbox::run(PosixLine& line)
{
    std::unique_lock<std::mutex> held(mutex_);
    try {
        while (!stopping_) {
            if (backlog_.empty()) {
                changed_.wait(held);
            } else if (write_front(line, held) == 0) {
                held.unlock();
                line.wait(false, true, DRAIN_STOP_CHECK);
                held.lock();
                line.check_other_end(); // a hung-up tty takes nothing, and never says so in a write
            }
        }
    } catch (const std::system_error&) {
        failure_ = std::current_exception();
        changed_.notify_all();
    }
}

inline void Outbox::drain_now(PosixLine& line)
{
    std::unique_lock<std::mutex> held(mutex_);
    while (!backlog_.empty() && write_front(line, held) != 0) {
    }
}

inline void Outbox::check() const
{
    std::lock_guard<std::mutex> held(mutex_);
    if (failure_) {
        std::rethrow_exception(failure_);
    }
}

inline bool Outbox::wait_for_room(size_t bytes, Clock::time_point deadline)
{
    std::unique_lock<std::mutex> held(mutex_);
    return changed_.wait_until(held, deadline, [&] { return backlog_.room() >= bytes || failure_ != nullptr; }) &&
           backlog_.room() >= bytes;
}

inline bool Outbox::wait_until_empty(Clock::time_point deadline)
{
    std::unique_lock<std::mutex> held(mutex_);
    return changed_.wait_until(held, deadline, [&] { return backlog_.empty() || failure_ != nullptr; }) &&
           backlog_.empty();
}

inline void Outbox::clear()
{
    std::lock_guard<std::mutex> held(mutex_);
    backlog_.pop(backlog_.size());
    changed_.notify_all();
}

inline std::string Outbox::take_all()
{
    std::lock_guard<std::mutex> held(mutex_);
    std::string out;
    out.reserve(backlog_.size());
    while (!backlog_.empty()) {
        size_t len = 0;
        const uint8_t* run = backlog_.front(len);
        out.append(reinterpret_cast<const char*>(run), len);
        backlog_.pop(len);
    }
    bytes_sent_ += out.size();
    changed_.notify_all();
    return out;
}

} // namespace korva::link
