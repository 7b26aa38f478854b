#include <gtest/gtest.h>

#include <cstring>

#include "test_link.hpp"

using Crc = uint16_t (*)(const uint8_t*, size_t, uint16_t);

TEST(Crc16, CheckValuesBitwiseAndByTable)
{
    for (const Crc crc : {Crc{korva::crc16_bitwise}, Crc{korva::crc16_by_table}, Crc{crc16}}) {
        const char* text = "123456789";
        EXPECT_EQ(crc(reinterpret_cast<const uint8_t*>(text), std::strlen(text), korva::CRC16_INIT), 0xAEE7);
        EXPECT_EQ(crc(nullptr, 0, korva::CRC16_INIT), 0xFFFF);
        const Bytes first_frame_span = {0xFB, 0x02, 0xE3, 0x14, 0x01, 0x02};
        EXPECT_EQ(crc(first_frame_span.data(), first_frame_span.size(), korva::CRC16_INIT), 0xF3EF);
    }
}

TEST(Crc16, TheTableAgreesWithTheBitsForEveryByteFromEveryStart)
{
    for (unsigned start = 0; start <= 0xFFFF; start += 251) {
        for (unsigned value = 0; value < 256; ++value) {
            const uint8_t byte = static_cast<uint8_t>(value);
            ASSERT_EQ(korva::crc16_by_table(&byte, 1, static_cast<uint16_t>(start)),
                      korva::crc16_bitwise(&byte, 1, static_cast<uint16_t>(start)))
                << start << " " << value;
        }
    }
}

TEST(Crc16, CarriedPieceByPieceEqualsOneCall)
{
    Bytes data(300);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    const uint16_t whole = crc16(data.data(), data.size(), korva::CRC16_INIT);
    for (size_t split : {size_t{0}, size_t{1}, size_t{4}, size_t{150}, size_t{299}, size_t{300}}) {
        const uint16_t first = crc16(data.data(), split, korva::CRC16_INIT);
        EXPECT_EQ(crc16(data.data() + split, data.size() - split, first), whole) << split;
    }
}
