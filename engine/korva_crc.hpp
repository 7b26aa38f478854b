// CRC-16/CMS: polynomial 0x8005, initial value 0xFFFF, MSB first, no
// reflection, no final XOR. Bitwise on purpose: no table to place in RAM.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace korva {
constexpr uint16_t CRC16_INIT = 0xFFFF;
constexpr uint16_t CRC16_POLY = 0x8005;
} // namespace korva

// Folds `count` bytes into `start`; chaining calls over consecutive pieces
// gives the checksum of the whole.
inline uint16_t crc16(const uint8_t* data, size_t count, uint16_t start)
{
    uint16_t crc = start;
    for (size_t i = 0; i < count; ++i) {
        uint16_t byte = data[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool feedback = ((crc ^ (byte << 8)) & 0x8000) != 0;
            crc = static_cast<uint16_t>(crc << 1);
            if (feedback) {
                crc ^= korva::CRC16_POLY;
            }
            byte = static_cast<uint16_t>(byte << 1);
        }
    }
    return crc;
}

namespace korva {

constexpr uint8_t crc_high(uint16_t crc) { return static_cast<uint8_t>(crc >> 8); }

constexpr uint8_t crc_low(uint16_t crc) { return static_cast<uint8_t>(crc & 0xFF); }

} // namespace korva
