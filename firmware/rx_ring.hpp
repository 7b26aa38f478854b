// The bytes the UART's receive interrupt hands to the main loop.
//
// One producer (the interrupt) and one consumer (the main loop): each side
// writes only its own index, and an index is one byte wide, so every read
// and write of it is a single instruction even on an 8-bit core. A full
// ring takes nothing: the driver then leaves the byte in the UART and masks
// its interrupt until the main loop has made room.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace korva {
namespace fw {

template <uint8_t Size>
class RxRing {
    static_assert(Size != 0 && (Size & (Size - 1)) == 0, "the size is a power of two, so indices wrap by masking");

public:
    bool full() const { return static_cast<uint8_t>(head_ - tail_) == Size; }
    bool empty() const { return head_ == tail_; }

    // Interrupt side; call only when not full().
    void push(uint8_t byte)
    {
        storage_[head_ & MASK] = byte;
        settle();
        head_ = static_cast<uint8_t>(head_ + 1);
    }

    // Main-loop side: the oldest bytes that lie in one piece (null when
    // none), then consume() what was taken of them.
    const uint8_t* readable(size_t& len) const
    {
        const uint8_t fill = static_cast<uint8_t>(head_ - tail_);
        settle();
        const uint8_t to_wrap = static_cast<uint8_t>(Size - (tail_ & MASK));
        len = fill < to_wrap ? fill : to_wrap;
        return len == 0 ? nullptr : storage_ + (tail_ & MASK);
    }
    void consume(size_t count) { tail_ = static_cast<uint8_t>(tail_ + count); }

private:
    static constexpr uint8_t MASK = Size - 1;
    // Keeps the compiler from moving a byte's store after the index that
    // publishes it, or its load before the index that says it is there.
    static void settle() { __asm__ volatile("" ::: "memory"); }

    // Free-running: head - tail is the fill level, up to Size (at most 128
    // so that a full ring is told from an empty one).
    static_assert(Size <= 128, "the indices are one byte wide");
    uint8_t storage_[Size]{};
    volatile uint8_t head_ = 0;
    volatile uint8_t tail_ = 0;
};

} // namespace fw
} // namespace korva
