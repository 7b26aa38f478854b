// When the bytes of a stream arrived: each read is remembered with the
// stream offset where it ended, so a frame can be stamped with the arrival
// time of its first byte. Only recent reads are kept; a frame older than
// all of them takes the oldest time known, which errs by at most the
// reads forgotten.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korva::link {

class Arrivals {
public:
    // `count` bytes arrived at `time` (seconds, on the owner's clock).
    void record(uint64_t count, double time)
    {
        if (count == 0) {
            return;
        }
        received_ += count;
        reads_[next_] = {received_, time};
        next_ = (next_ + 1) % KEPT;
        kept_ = kept_ < KEPT ? kept_ + 1 : KEPT;
    }

    uint64_t received() const { return received_; }

    // Arrival time of the byte at stream offset `offset`.
    double time_of(uint64_t offset) const
    {
        double time = 0.0;
        for (size_t back = 1; back <= kept_; ++back) {
            const Read& read = reads_[(next_ + KEPT - back) % KEPT];
            if (read.end <= offset) {
                break;
            }
            time = read.time;
        }
        return time;
    }

    // Arrival time of a byte that `rx` holds: the buffer's bytes end where
    // the bytes received so far end.
    template <class Buffer>
    double time_in(const Buffer& rx, const uint8_t* byte) const
    {
        const size_t end = rx.position() + rx.size();
        return time_of(received_ - (end - static_cast<size_t>(byte - rx.at(0))));
    }

private:
    static constexpr size_t KEPT = 64;
    struct Read {
        uint64_t end; // stream offset just past the read's last byte
        double time;
    };

    Read reads_[KEPT]{};
    size_t next_ = 0;
    size_t kept_ = 0;
    uint64_t received_ = 0;
};

} // namespace korva::link
