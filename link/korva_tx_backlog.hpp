// The transmit side of a link: pieces the engine writes are queued here
// whole or not at all, and drain to the line in order. Nothing ever drops
// part of a piece, so the line never carries a fragment the engine believes
// unsent.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korva::link {

class TxBacklog {
public:
    static constexpr size_t CAPACITY = 16384;

    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    size_t room() const { return CAPACITY - count_; }

    // Queues the whole piece, or nothing when it does not fit.
    bool put(const uint8_t* data, size_t len);
    // The oldest queued bytes that lie in one run, for one write() call.
    const uint8_t* front(size_t& len) const;
    void pop(size_t len);

private:
    uint8_t ring_[CAPACITY]{};
    size_t head_ = 0;
    size_t count_ = 0;
};

inline bool TxBacklog::put(const uint8_t* data, size_t len)
{
    if (len > room()) {
        return false;
    }
    const size_t at = (head_ + count_) % CAPACITY;
    const size_t first = std::min(len, CAPACITY - at);
    if (len != 0) {
        std::memcpy(ring_ + at, data, first);
        std::memcpy(ring_, data + first, len - first);
    }
    count_ += len;
    return true;
}

inline const uint8_t* TxBacklog::front(size_t& len) const
{
    len = std::min(count_, CAPACITY - head_);
    return ring_ + head_;
}

inline void TxBacklog::pop(size_t len)
{
    len = std::min(len, count_);
    head_ = (head_ + len) % CAPACITY;
    count_ -= len;
    if (count_ == 0) {
        head_ = 0; // keeps the next frame in one run
    }
}

} // namespace korva::link
