// The receive side of a link: bytes from the line wait here until they form
// a whole frame. Consumed bytes stay where they are until the next
// compaction, so a frame the engine turned down can be scanned again from
// the byte after its start byte.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/korva.hpp"

namespace korva::link {

class RxBuffer {
public:
    // Room for many frames, so one read() call serves a whole burst.
    static constexpr size_t CAPACITY = 4096;
    static_assert(CAPACITY >= 2 * MAX_FRAME_LENGTH, "a whole frame must always fit behind a fragment");

    size_t size() const { return end_ - cursor_; }
    bool empty() const { return end_ == cursor_; }
    const uint8_t* data() const { return storage_ + cursor_; }

    // Position of the next unread byte; valid until the next compaction.
    size_t position() const { return cursor_; }
    const uint8_t* at(size_t position) const { return storage_ + position; }
    void rewind_to(size_t position) { cursor_ = std::min(position, end_); }

    // Moves the unread bytes to the front, so that tail_room() is all the room there is.
    void compact();
    uint8_t* tail() { return storage_ + end_; }
    size_t tail_room() const { return CAPACITY - end_; }
    void commit(size_t count) { end_ = std::min(end_ + count, CAPACITY); }

    // Drops every byte before the next start byte; returns how many.
    size_t hunt();
    void drop(size_t count) { cursor_ += std::min(count, size()); }
    // Whole frame: a start byte, its header and as many bytes as the length byte claims.
    bool whole_frame() const { return size() >= HEADER_SIZE && size() >= frame_length(); }
    size_t frame_length() const { return size_t{data()[1]} + FRAME_OVERHEAD; }
    bool read(uint8_t* dst, size_t count);

private:
    uint8_t storage_[CAPACITY]{};
    size_t cursor_ = 0;
    size_t end_ = 0;
};

inline void RxBuffer::compact()
{
    if (cursor_ == 0) {
        return;
    }
    std::memmove(storage_, storage_ + cursor_, size());
    end_ -= cursor_;
    cursor_ = 0;
}

inline size_t RxBuffer::hunt()
{
    const uint8_t* found = std::find(data(), static_cast<const uint8_t*>(storage_ + end_), uint8_t{MESSAGE_START});
    const size_t dropped = static_cast<size_t>(found - data());
    cursor_ += dropped;
    return dropped;
}

// A short read takes nothing: the frame stays whole for a later, complete read.
inline bool RxBuffer::read(uint8_t* dst, size_t count)
{
    if (count > size()) {
        return false;
    }
    std::memcpy(dst, data(), count);
    cursor_ += count;
    return true;
}

} // namespace korva::link
