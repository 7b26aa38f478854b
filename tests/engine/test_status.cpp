#include <gtest/gtest.h>

#include "test_link.hpp"

TEST(Status, TextsFollowTheTable)
{
    const char* expected[] = {"KORVA_DEFAULT",
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
                              "KORVA_NULL_MESSAGE"};
    for (int value = 0; value <= 12; ++value) {
        EXPECT_STREQ(resolve_status(static_cast<Korva_Status_t>(value)), expected[value]) << value;
    }
    for (int value : {13, 100, 255}) {
        EXPECT_STREQ(resolve_status(static_cast<Korva_Status_t>(value)), "KORVA_UNKNOWN_STATUS") << value;
    }
}

TEST(Settings, OwnIdAtConstructionFallsBackToPublic)
{
    const std::pair<uint8_t, uint8_t> cases[] = {{0, 0}, {14, 14}, {15, 15}, {16, 15}, {200, 15}};
    for (auto [given, own] : cases) {
        ScriptedNode node(given);
        EXPECT_EQ(node.own_id(), own) << int(given);
        EXPECT_EQ(node.rx_flags, 0);
        EXPECT_EQ(node.tx_flags, 0);
        EXPECT_EQ(node.rx_pos, 0);
        EXPECT_EQ(node.fixed_packet_size, 0);
        EXPECT_EQ(node.get_rx_buffer_size(), 1024);
        EXPECT_EQ(node.tx_buf_size, 1024);
        EXPECT_EQ(node.external_buffers, 1);
        EXPECT_EQ(node.rx_callback_ptr, nullptr);
        EXPECT_EQ(node.tx_callback_ptr, nullptr);
    }
}

TEST(Settings, AssignNewIdKeepsLowNibbleOnlyAndLeavesReceiver)
{
    ScriptedNode node(14);
    const uint8_t payload[] = {1};
    ASSERT_EQ(node.write(3, 5, payload, 1, 1), KORVA_STATUS_SUCCESS);
    const std::pair<uint8_t, uint8_t> cases[] = {{17, 1}, {15, 15}, {16, 0}, {31, 15}, {4, 4}};
    for (auto [given, own] : cases) {
        node.assign_new_id(given);
        EXPECT_EQ(node.own_id(), own) << int(given);
        EXPECT_EQ(node.header.adr_byte & 0x0F, 3) << "receiver nibble must survive";
    }
}

TEST(Settings, VersionAndConstants)
{
    ScriptedNode node(1);
    EXPECT_EQ(node.GET_KORVA_VERSION(), 100004u);
    EXPECT_EQ(HEADER_SIZE, 4);
    EXPECT_EQ(MAX_MSG_LENGTH, 255);
    EXPECT_EQ(MESSAGE_START, 0xFB);
    EXPECT_EQ(MESSAGE_END, 0xBF);
}

TEST(Settings, PacketPredicates)
{
    ScriptedNode node(1);
    for (int value = 0; value <= 12; ++value) {
        const auto status = static_cast<Korva_Status_t>(value);
        EXPECT_EQ(node.is_packet_broken(status), value >= 4) << value;
        EXPECT_EQ(node.is_crc_failed(status), value == 6) << value;
    }
}
