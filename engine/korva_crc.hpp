// CRC-16/CMS: polynomial 0x8005, initial value 0xFFFF, MSB first, no
// reflection, no final XOR. Bitwise unless the build defines
// KORVA_CRC_TABLE: a microcontroller has no RAM to spare for the table,
// while a host checks every frame up to three times on its way to Python
// (sender, cutter, listener) and gains most from folding a byte at a time.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace korva {
constexpr uint16_t CRC16_INIT = 0xFFFF;
constexpr uint16_t CRC16_POLY = 0x8005;

// Folds `count` bytes into `start` a bit at a time; chaining calls over
// consecutive pieces gives the checksum of the whole.
inline uint16_t crc16_bitwise(const uint8_t* data, size_t count, uint16_t start)
{
    uint16_t crc = start;
    for (size_t i = 0; i < count; ++i) {
        uint16_t byte = data[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool feedback = ((crc ^ (byte << 8)) & 0x8000) != 0;
            crc = static_cast<uint16_t>(crc << 1);
            if (feedback) {
                crc ^= CRC16_POLY;
            }
            byte = static_cast<uint16_t>(byte << 1);
        }
    }
    return crc;
}

// What each byte value does to the high byte of the checksum, made by the compiler.
struct CrcTable {
    uint16_t of[256];
};

constexpr CrcTable make_crc_table()
{
    CrcTable table{};
    for (unsigned value = 0; value < 256; ++value) {
        uint16_t crc = static_cast<uint16_t>(value << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ CRC16_POLY : crc << 1);
        }
        table.of[value] = crc;
    }
    return table;
}

// The same checksum as crc16_bitwise, a byte at a time.
inline uint16_t crc16_by_table(const uint8_t* data, size_t count, uint16_t start)
{
    static constexpr CrcTable table = make_crc_table();
    uint16_t crc = start;
    for (size_t i = 0; i < count; ++i) {
        crc = static_cast<uint16_t>((crc << 8) ^ table.of[(crc >> 8) ^ data[i]]);
    }
    return crc;
}
} // namespace korva

// The checksum every part of the engine and the link uses.
inline uint16_t crc16(const uint8_t* data, size_t count, uint16_t start)
{
#ifdef KORVA_CRC_TABLE
    return korva::crc16_by_table(data, count, start);
#else
    return korva::crc16_bitwise(data, count, start);
#endif
}

namespace korva {

constexpr uint8_t crc_high(uint16_t crc) { return static_cast<uint8_t>(crc >> 8); }

constexpr uint8_t crc_low(uint16_t crc) { return static_cast<uint8_t>(crc & 0xFF); }

} // namespace korva
