#include <gtest/gtest.h>

#include <cstring>

#include "test_link.hpp"

TEST(Crc16, CheckValues)
{
    const char* text = "123456789";
    EXPECT_EQ(crc16(reinterpret_cast<const uint8_t*>(text), std::strlen(text), korva::CRC16_INIT), 0xAEE7);
    EXPECT_EQ(crc16(nullptr, 0, korva::CRC16_INIT), 0xFFFF);
    const Bytes first_frame_span = {0xFB, 0x02, 0xE3, 0x14, 0x01, 0x02};
    EXPECT_EQ(crc16(first_frame_span.data(), first_frame_span.size(), korva::CRC16_INIT), 0xF3EF);
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
