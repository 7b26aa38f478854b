// The receive side of a link: bytes from the line wait here until they form
// a whole frame. Consumed bytes stay where they are until the next
// compaction, so a frame the engine turned down can be scanned again from
// the byte after its start byte.
//
// Freestanding: no allocation, no exceptions, no library beyond the C
// headers, so the same buffer serves a host and a microcontroller.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "engine/korva.hpp"

namespace korva {
namespace link {

template <size_t Capacity>
class RxBuffer {
public:
    static constexpr size_t CAPACITY = Capacity;
    // A fragment never blocks the frame behind it for good: once compacted,
    // the longest frame always fits.
    static_assert(CAPACITY >= MAX_FRAME_LENGTH, "the receive buffer must hold the longest frame");

    size_t size() const { return end_ - cursor_; }
    bool empty() const { return end_ == cursor_; }
    const uint8_t* data() const { return storage_ + cursor_; }

    // Position of the next unread byte; valid until the next compaction.
    size_t position() const { return cursor_; }
    const uint8_t* at(size_t position) const { return storage_ + position; }
    void seek(size_t position) { cursor_ = position < end_ ? position : end_; }

    // Moves the unread bytes to the front, so that tail_room() is all the room there is.
    void compact();
    uint8_t* tail() { return storage_ + end_; }
    size_t tail_room() const { return CAPACITY - end_; }
    void commit(size_t count) { end_ = count < tail_room() ? end_ + count : CAPACITY; }

    // Drops every byte before the next start byte; returns how many.
    size_t hunt();
    void drop(size_t count) { cursor_ += count < size() ? count : size(); }
    // Whole frame: a start byte, its header and as many bytes as the length byte claims.
    bool whole_frame() const { return size() >= HEADER_SIZE && size() >= frame_length(); }
    size_t frame_length() const { return size_t{data()[1]} + FRAME_OVERHEAD; }
    bool read(uint8_t* dst, size_t count);

private:
    uint8_t storage_[CAPACITY]{};
    size_t cursor_ = 0;
    size_t end_ = 0;
};

template <size_t Capacity>
void RxBuffer<Capacity>::compact()
{
    if (cursor_ == 0) {
        return;
    }
    memmove(storage_, storage_ + cursor_, size());
    end_ -= cursor_;
    cursor_ = 0;
}

template <size_t Capacity>
size_t RxBuffer<Capacity>::hunt()
{
    const void* found = memchr(data(), MESSAGE_START, size());
    const size_t dropped = found == nullptr ? size() : static_cast<size_t>(static_cast<const uint8_t*>(found) - data());
    cursor_ += dropped;
    return dropped;
}

// A short read takes nothing: the frame stays whole for a later, complete read.
template <size_t Capacity>
bool RxBuffer<Capacity>::read(uint8_t* dst, size_t count)
{
    if (count > size()) {
        return false;
    }
    memcpy(dst, data(), count);
    cursor_ += count;
    return true;
}

} // namespace link
} // namespace korva
