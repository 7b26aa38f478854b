// Status codes returned by every engine operation, and their texts.
#pragma once

#include <stdint.h>

// A status dropped unread is a failure nobody sees: the compiler flags it
// where it knows the attribute (avr-g++ 5 does not). Discard one on purpose
// with static_cast<void>.
#ifdef __has_cpp_attribute
#if __has_cpp_attribute(nodiscard)
#define KORVA_NODISCARD [[nodiscard]]
#endif
#endif
#ifndef KORVA_NODISCARD
#define KORVA_NODISCARD
#endif

// (clang-format 14 takes the attribute for a braced initializer, hence the pause.)
// clang-format off
enum KORVA_NODISCARD Korva_Status_t : uint8_t {
    // clang-format on
    KORVA_STATUS_DEFAULT = 0,
    KORVA_STATUS_SUCCESS = 1,
    KORVA_STATUS_PORT_BUSY = 2,
    KORVA_STATUS_TIMEOUT = 3,
    KORVA_STATUS_FAIL = 4,
    KORVA_STATUS_RX_ERROR = 5,
    KORVA_STATUS_CRC_ERROR = 6,
    KORVA_STATUS_START_BYTE_ERROR = 7,
    KORVA_STATUS_END_BYTE_ERROR = 8,
    KORVA_STATUS_HEADER_LENGTH_ERROR = 9,
    KORVA_STATUS_MESSAGE_LENGTH_ERROR = 10,
    KORVA_STATUS_MESSAGE_ID_ERROR = 11,
    KORVA_STATUS_NULL_MESSAGE = 12,
};

inline const char* resolve_status(Korva_Status_t status)
{
    static constexpr const char* texts[] = {
        "KORVA_DEFAULT",
        "KORVA_SUCCESS",
        "KORVA_PORT_BUSY",
        "KORVA_TIMEOUT",
        "KORVA_FAIL",
        "KORVA_RX_ERROR",
        "KORVA_CRC_ERROR",
        "KORVA_START_BYTE_ERROR",
        "KORVA_END_BYTE_ERROR",
        "KORVA_HEADER_LENGTH_ERROR",
        "KORVA_MESSAGE_LENGTH_ERROR",
        "KORVA_MESSAGE_ID_ERROR",
        "KORVA_NULL_MESSAGE",
    };
    constexpr unsigned known = sizeof(texts) / sizeof(texts[0]);
    return status < known ? texts[status] : "KORVA_UNKNOWN_STATUS";
}
