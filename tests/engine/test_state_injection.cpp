// Tests that set the engine's progress state (rx_pos, rx_flags, tx_flags)
// directly through its public fields. These states arise only mid-call, or
// after a hook threw, so no sequence of public calls reaches them cleanly;
// setting them is the one way to prove that every guard refuses an
// out-of-order step and leaves the state as it found it. Applications must
// not touch these fields (see korva_engine.hpp).
#include <gtest/gtest.h>

#include <type_traits>

#include "test_link.hpp"

namespace {

// The engine points into its own buffers: a copy would share them.
static_assert(!std::is_copy_constructible_v<Korva<korva_public_4bit_adr>>, "engines must not be copied");
static_assert(!std::is_move_constructible_v<Korva<korva_public_4bit_adr>>, "engines must not be moved");
// No destructor in the hook table: a firmware node then needs no operator
// delete, and nothing destroys an engine through the base class.
static_assert(!std::has_virtual_destructor_v<Korva<korva_public_4bit_adr>>, "the hook table has no destructor slot");
static_assert(!std::is_destructible_v<Korva<korva_public_4bit_adr>>, "only concrete nodes are destroyed");

const Bytes kWriteTo14 = {0xFB, 0x02, 0x3E, 0x14, 0x01, 0x02, 0xD7, 0xC8, 0xBF};
const Bytes kWriteTo5 = {0xFB, 0x01, 0x35, 0x04, 0xAA, 0x81, 0xB3, 0xBF};
const Bytes kPayload12 = {0x01, 0x02};

Bytes body_of(const Bytes& frame) { return Bytes(frame.begin() + 4, frame.end()); }

} // namespace

TEST(Listener, HuntRunningDryStillReadsTheHeader)
{
    ScriptedNode node(14);
    node.rx_pos = 9;
    node.feed({0x01, 0x02, 0x03, 0x04});
    EXPECT_EQ(node.listener(), KORVA_STATUS_START_BYTE_ERROR);
    EXPECT_EQ(node.read_sizes, (std::vector<uint16_t>{1, 1, 1, 1, 3}));
    EXPECT_EQ(node.rx_pos, 0);
    EXPECT_EQ(node.rx_flags, 0);
}

TEST(Listener, HardReadFailuresAreReturned)
{
    ScriptedNode header_fails(14);
    header_fails.feed(kWriteTo14);
    header_fails.rx_pos = 6;
    header_fails.read_script = {KORVA_STATUS_SUCCESS, KORVA_STATUS_RX_ERROR};
    EXPECT_EQ(header_fails.listener(), KORVA_STATUS_RX_ERROR);
    EXPECT_EQ(header_fails.read_sizes, (std::vector<uint16_t>{1, 3}));
    EXPECT_EQ(header_fails.rx_pos, 6) << "a broken header read leaves the receive state alone";

    ScriptedNode body_fails(14);
    body_fails.feed(kWriteTo5);
    body_fails.read_script = {KORVA_STATUS_SUCCESS, KORVA_STATUS_SUCCESS, KORVA_STATUS_TIMEOUT};
    EXPECT_EQ(body_fails.listener(), KORVA_STATUS_TIMEOUT);
    EXPECT_EQ(body_fails.rx_flags, 0) << "RX_OTHER must not outlive a failed body read";
    EXPECT_EQ(body_fails.rx_pos, 4);
}

TEST(HandleMessageData, OutsideAListenerCallChangesNothing)
{
    ScriptedNode node(14);
    node.feed(kWriteTo14);
    ASSERT_EQ(node.listener(), KORVA_STATUS_SUCCESS);
    const Bytes rx_before(node.rx_storage, node.rx_storage + KORVA_BUFFER_SIZE);
    const uint16_t pos_before = node.rx_pos;

    const Bytes body = body_of(kWriteTo14);
    const Bytes no_end = {0x01, 0x02, 0xD7, 0xC8, 0x00};
    const Bytes short_body = {0x01, 0xBF};
    struct Case {
        const Bytes* data;
        size_t size;
        uint16_t len;
        Korva_Status_t result;
    };
    const Case cases[] = {
        {&body, body.size(), 5, KORVA_STATUS_HEADER_LENGTH_ERROR},
        {&body, body.size(), 4, KORVA_STATUS_END_BYTE_ERROR},
        {&short_body, short_body.size(), 2, KORVA_STATUS_MESSAGE_LENGTH_ERROR},
        {&no_end, no_end.size(), 5, KORVA_STATUS_END_BYTE_ERROR},
        {&body, body.size(), 0, KORVA_STATUS_MESSAGE_LENGTH_ERROR},
        {&body, body.size(), 6, KORVA_STATUS_MESSAGE_LENGTH_ERROR},
        {&body, body.size(), 60000, KORVA_STATUS_MESSAGE_LENGTH_ERROR},
        {nullptr, 0, 5, KORVA_STATUS_NULL_MESSAGE},
    };
    for (const Case& c : cases) {
        const uint8_t* data = c.data ? c.data->data() : nullptr;
        EXPECT_EQ(node.handle_message_data(data, c.size, c.len), c.result) << c.len;
        EXPECT_EQ(node.rx_flags, 0);
        EXPECT_EQ(node.rx_pos, pos_before);
        EXPECT_EQ(Bytes(node.rx_storage, node.rx_storage + KORVA_BUFFER_SIZE), rx_before);
    }
    EXPECT_EQ(node.notifications.size(), 1u);

    node.rx_pos = 4;
    EXPECT_EQ(node.handle_message_data(body.data(), body.size(), 5), KORVA_STATUS_START_BYTE_ERROR);
}

TEST(Refusals, NullDataWithLengthFailsAndKeepsFlags)
{
    ScriptedNode node(14);
    node.tx_flags = TX_START | TX_HEADER;
    EXPECT_EQ(node.write(3, 5, nullptr, 3, 5), KORVA_STATUS_FAIL);
    EXPECT_EQ(node.push_to_queue(nullptr, 3, 5), KORVA_STATUS_FAIL);
    EXPECT_EQ(node.tx_flags, TX_START | TX_HEADER);
    EXPECT_TRUE(node.writes.empty());
}

TEST(Refusals, EveryOneShotAndStreamedStartIsBusyWhileAnotherNodesFrameArrives)
{
    ScriptedNode node(14);
    node.rx_flags = RX_START | RX_OTHER;
    node.tx_flags = TX_START;
    EXPECT_EQ(node.write(3, 5, kPayload12.data(), 2, 5), KORVA_STATUS_PORT_BUSY);
    EXPECT_EQ(node.header.adr_byte, 0xE3) << "write sets the receiver before the busy check";
    EXPECT_EQ(node.write_public(5, kPayload12.data(), 2, 5), KORVA_STATUS_PORT_BUSY);
    EXPECT_EQ(node.header.adr_byte, 0xEF);
    EXPECT_EQ(node.send_frame(kPayload12.data(), 2, 5), KORVA_STATUS_PORT_BUSY);
    EXPECT_EQ(node.start_write_queue(KV_INDICATE_EVENT, 4, 6, 9, 5), KORVA_STATUS_PORT_BUSY);
    EXPECT_EQ(node.header.adr_byte, 0xE4);
    EXPECT_EQ(node.header.id_byte, 0x1B);
    EXPECT_EQ(node.header.len_byte, 9);
    EXPECT_EQ(node.tx_flags, TX_START);
    EXPECT_TRUE(node.writes.empty());
}

TEST(Refusals, LengthErrorIsNotifiedWithClearedFlags)
{
    static std::vector<std::pair<uint8_t, Korva_Status_t>> seen;
    seen.clear();
    ScriptedNode node(14);
    node.tx_callback_ptr = [](uint8_t type, Korva_Status_t status, const uint8_t*) { seen.emplace_back(type, status); };
    node.tx_flags = TX_START | TX_HEADER;
    node.set_fixed_packet_size(8);
    EXPECT_EQ(node.write(3, 5, kPayload12.data(), 2, 5), KORVA_STATUS_MESSAGE_LENGTH_ERROR);
    EXPECT_EQ(node.tx_flags, 0);
    node.set_fixed_packet_size(0);
    EXPECT_EQ(node.write(3, 5, kPayload12.data(), 2, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(uint8_t{0}, KORVA_STATUS_MESSAGE_LENGTH_ERROR));
    EXPECT_EQ(seen[1], std::make_pair(uint8_t{0}, KORVA_STATUS_SUCCESS));
}

TEST(Streamed, OutOfOrderStepsAreRefused)
{
    ScriptedNode fresh(14);
    EXPECT_EQ(fresh.push_to_queue(kPayload12.data(), 2, 5), KORVA_STATUS_START_BYTE_ERROR);
    EXPECT_EQ(fresh.finalize_queue(5), KORVA_STATUS_START_BYTE_ERROR);

    ScriptedNode no_header(14);
    no_header.tx_flags = TX_START;
    EXPECT_EQ(no_header.push_to_queue(kPayload12.data(), 2, 5), KORVA_STATUS_FAIL);
    EXPECT_EQ(no_header.finalize_queue(5), KORVA_STATUS_FAIL);

    ScriptedNode no_data(14);
    ASSERT_EQ(no_data.start_write_queue(KV_WRITE_EVENT, 3, 5, 2, 5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(no_data.finalize_queue(5), KORVA_STATUS_FAIL);
    EXPECT_EQ(no_data.tx_flags, TX_START | TX_HEADER);
    EXPECT_TRUE(fresh.writes.empty());
    EXPECT_TRUE(no_header.writes.empty());
    EXPECT_EQ(no_data.writes.size(), 2u);
}
