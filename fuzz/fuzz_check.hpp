// Invariant checks shared by the fuzz targets: a broken invariant aborts
// with a message, so libFuzzer records the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "engine/korva.hpp"

#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #condition);                   \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)

// A complete frame: start byte, length byte matching the body, checksum
// over everything before it, end byte, and never longer than the maximum
// (I4, SECURITY.md). Every target runs under ASan and UBSan for I1.
inline void check_frame(const uint8_t* frame, size_t len)
{
    FUZZ_CHECK(len >= korva::FRAME_OVERHEAD && len <= korva::MAX_FRAME_LENGTH);
    FUZZ_CHECK(frame[0] == MESSAGE_START);
    FUZZ_CHECK(frame[1] + korva::FRAME_OVERHEAD == len);
    const uint16_t crc = crc16(frame, len - korva::FRAME_TRAILER_SIZE, korva::CRC16_INIT);
    FUZZ_CHECK(frame[len - 3] == korva::crc_high(crc) && frame[len - 2] == korva::crc_low(crc));
    FUZZ_CHECK(frame[len - 1] == MESSAGE_END);
}
