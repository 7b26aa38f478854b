#include <gtest/gtest.h>

#include "test_link.hpp"

namespace {

const Bytes kPayload12 = {0x01, 0x02};
const Bytes kFirstFrame = {0xFB, 0x02, 0xE3, 0x14, 0x01, 0x02, 0xF3, 0xEF, 0xBF};
const Bytes kPaddedFrame = {0xFB, 0x05, 0xE3, 0x14, 0x01, 0x02, 0x00, 0x00, 0x00, 0x1E, 0xE2, 0xBF};

std::vector<size_t> piece_sizes(const ScriptedNode& node)
{
    std::vector<size_t> sizes;
    for (const Bytes& piece : node.writes) {
        sizes.push_back(piece.size());
    }
    return sizes;
}

Bytes counting_payload(size_t n)
{
    Bytes payload(n);
    for (size_t i = 0; i < n; ++i) {
        payload[i] = static_cast<uint8_t>(i);
    }
    return payload;
}

struct FrameCase {
    const char* name;
    uint8_t receiver;
    uint8_t message_id;
    Bytes payload;
    Bytes frame;
};

} // namespace

TEST(OneShot, WorkedFramesAreByteExactOnBothPaths)
{
    const FrameCase cases[] = {
        {"first worked example", 3, 5, kPayload12, kFirstFrame},
        {"receiver cut to low nibble", 0x13, 5, kPayload12, kFirstFrame},
        {"receiver 16 addresses node 0", 16, 5, {0x01}, {0xFB, 0x01, 0xE0, 0x14, 0x01, 0x6C, 0x4E, 0xBF}},
        {"message id 59 is sent", 3, 59, {0x01}, {0xFB, 0x01, 0xE3, 0xEC, 0x01, 0x7C, 0x7E, 0xBF}},
        {"empty payload", 3, 5, {}, {0xFB, 0x00, 0xE3, 0x14, 0x96, 0x7B, 0xBF}},
    };
    for (const FrameCase& c : cases) {
        for (bool buffered : {true, false}) {
            ScriptedNode node(14, buffered);
            const uint8_t* data = c.payload.empty() ? nullptr : c.payload.data();
            const auto len = static_cast<uint8_t>(c.payload.size());
            EXPECT_EQ(node.write(c.receiver, c.message_id, data, len, 5), KORVA_STATUS_SUCCESS) << c.name;
            EXPECT_EQ(hex(node.written()), hex(c.frame)) << c.name << (buffered ? " buffered" : " bytewise");
            EXPECT_EQ(node.writes.size(), buffered ? 1u : (len ? 4u : 3u)) << c.name;
            EXPECT_EQ(node.tx_flags, TX_START | TX_HEADER | TX_DATA | TX_END) << c.name;
        }
    }
}

TEST(OneShot, WritePublicAddressesEveryNode)
{
    ScriptedNode node(14);
    const uint8_t payload[] = {0x10};
    EXPECT_EQ(node.write_public(5, payload, 1, 5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(hex(node.written()), "FB 01 EF 14 10 6C E4 BF");
}

TEST(OneShot, BytewisePiecesAreStartHeaderPayloadEachPadByteTrailer)
{
    ScriptedNode plain(14, false);
    ASSERT_EQ(plain.write(3, 5, kPayload12.data(), 2, 5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(piece_sizes(plain), (std::vector<size_t>{1, 3, 2, 3}));

    ScriptedNode padded(14, false);
    padded.set_fixed_packet_size(12);
    ASSERT_EQ(padded.write(3, 5, kPayload12.data(), 2, 5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(piece_sizes(padded), (std::vector<size_t>{1, 3, 2, 1, 1, 1, 3}));
    EXPECT_EQ(hex(padded.written()), hex(kPaddedFrame));
}

TEST(OneShot, FixedPacketSizePadsOrRefuses)
{
    struct Case {
        uint16_t size;
        Korva_Status_t status;
        Bytes frame;
    };
    const Case cases[] = {
        {12, KORVA_STATUS_SUCCESS, kPaddedFrame},     {9, KORVA_STATUS_SUCCESS, kFirstFrame},
        {0, KORVA_STATUS_SUCCESS, kFirstFrame},       {8, KORVA_STATUS_MESSAGE_LENGTH_ERROR, {}},
        {263, KORVA_STATUS_MESSAGE_LENGTH_ERROR, {}}, {0xFFFF, KORVA_STATUS_MESSAGE_LENGTH_ERROR, {}},
    };
    for (const Case& c : cases) {
        for (bool buffered : {true, false}) {
            ScriptedNode node(14, buffered);
            node.set_fixed_packet_size(c.size);
            EXPECT_EQ(node.fixed_packet_size, c.size);
            EXPECT_EQ(node.write(3, 5, kPayload12.data(), 2, 5), c.status) << c.size;
            EXPECT_EQ(hex(node.written()), hex(c.frame)) << c.size << (buffered ? " buffered" : " bytewise");
            if (c.status != KORVA_STATUS_SUCCESS) {
                EXPECT_EQ(node.tx_flags, 0) << c.size;
            }
        }
    }
}

TEST(OneShot, PaddingTurnsOffAgainAndLargestPaddingFits)
{
    ScriptedNode node(14);
    node.set_fixed_packet_size(262);
    ASSERT_EQ(node.write(3, 5, kPayload12.data(), 2, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node.writes.back().size(), 262u);
    EXPECT_EQ(node.writes.back()[1], 255);
    const Bytes& big = node.writes.back();
    EXPECT_EQ(crc16(big.data(), 259, korva::CRC16_INIT), (big[259] << 8) | big[260]);

    node.set_fixed_packet_size(0);
    ASSERT_EQ(node.write(3, 5, kPayload12.data(), 2, 5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(hex(node.writes.back()), hex(kFirstFrame));
}

TEST(OneShot, LongestPayloadIsOne262ByteFrameOnEveryPath)
{
    const Bytes payload = counting_payload(255);
    Bytes expected = {0xFB, 0xFF, 0xE3, 0x14};
    expected.insert(expected.end(), payload.begin(), payload.end());
    const uint16_t crc = crc16(expected.data(), expected.size(), korva::CRC16_INIT);
    expected.insert(expected.end(), {korva::crc_high(crc), korva::crc_low(crc), 0xBF});
    ASSERT_EQ(expected.size(), 262u);

    ScriptedNode buffered(14);
    ASSERT_EQ(buffered.write(3, 5, payload.data(), 255, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(buffered.writes.size(), 1u);
    EXPECT_EQ(buffered.writes[0], expected);

    ScriptedNode bytewise(14, false);
    ASSERT_EQ(bytewise.write(3, 5, payload.data(), 255, 5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(bytewise.written(), expected);

    ScriptedNode streamed(14);
    ASSERT_EQ(streamed.start_write_queue(KV_WRITE_EVENT, 3, 5, 255, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(streamed.push_to_queue(payload.data(), 200, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(streamed.push_to_queue(payload.data() + 200, 55, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(streamed.finalize_queue(5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(streamed.written(), expected);
}

TEST(OneShot, TooSmallTransmitBufferIsRefusedBeforeWriting)
{
    ScriptedNode node(14);
    node.tx_buf_size = 8;
    EXPECT_EQ(node.write(3, 5, kPayload12.data(), 2, 5), KORVA_STATUS_MESSAGE_LENGTH_ERROR);
    EXPECT_TRUE(node.writes.empty());
    EXPECT_EQ(node.tx_flags, 0);
}

TEST(Retry, StopsAtFirstSuccessOrReturnsLastFailure)
{
    struct Case {
        std::vector<Korva_Status_t> script;
        uint8_t count;
        size_t calls;
        Korva_Status_t result;
    };
    const Case cases[] = {
        {{KORVA_STATUS_FAIL, KORVA_STATUS_FAIL, KORVA_STATUS_FAIL, KORVA_STATUS_FAIL, KORVA_STATUS_FAIL},
         5,
         5,
         KORVA_STATUS_FAIL},
        {{KORVA_STATUS_TIMEOUT, KORVA_STATUS_TIMEOUT, KORVA_STATUS_SUCCESS}, 5, 3, KORVA_STATUS_SUCCESS},
        {{KORVA_STATUS_TIMEOUT, KORVA_STATUS_RX_ERROR}, 2, 2, KORVA_STATUS_RX_ERROR},
        {{KORVA_STATUS_DEFAULT}, 1, 1, KORVA_STATUS_DEFAULT},
        {{}, 0, 0, KORVA_STATUS_DEFAULT},
    };
    for (const Case& c : cases) {
        for (bool buffered : {true, false}) {
            ScriptedNode node(14, buffered);
            node.write_script.assign(c.script.begin(), c.script.end());
            const Korva_Status_t status = node.write(3, 5, kPayload12.data(), 2, c.count);
            EXPECT_EQ(status, c.result);
            if (status != KORVA_STATUS_SUCCESS) {
                EXPECT_EQ(node.writes.size(), c.calls);
            } else if (buffered) {
                EXPECT_EQ(node.writes.size(), c.calls);
                EXPECT_EQ(node.writes.back(), kFirstFrame);
            }
        }
    }
}

TEST(Retry, BytewiseRetriesEachPieceAndStopsAtAFailedOne)
{
    ScriptedNode node(14, false);
    node.write_script = {KORVA_STATUS_TIMEOUT, KORVA_STATUS_SUCCESS, // start byte
                         KORVA_STATUS_SUCCESS,                       // header
                         KORVA_STATUS_FAIL,    KORVA_STATUS_FAIL,    KORVA_STATUS_FAIL};
    EXPECT_EQ(node.write(3, 5, kPayload12.data(), 2, 3), KORVA_STATUS_FAIL);
    EXPECT_EQ(piece_sizes(node), (std::vector<size_t>{1, 1, 3, 2, 2, 2}));
    EXPECT_EQ(node.tx_flags, TX_START | TX_HEADER);

    ScriptedNode header_fails(14, false);
    header_fails.write_script = {KORVA_STATUS_SUCCESS, KORVA_STATUS_PORT_BUSY};
    EXPECT_EQ(header_fails.write(3, 5, kPayload12.data(), 2, 1), KORVA_STATUS_PORT_BUSY);
    EXPECT_EQ(header_fails.tx_flags, TX_START);

    ScriptedNode trailer_fails(14, false);
    trailer_fails.write_script = {KORVA_STATUS_SUCCESS, KORVA_STATUS_SUCCESS, KORVA_STATUS_SUCCESS,
                                  KORVA_STATUS_TIMEOUT};
    EXPECT_EQ(trailer_fails.write(3, 5, kPayload12.data(), 2, 1), KORVA_STATUS_TIMEOUT);
    EXPECT_EQ(trailer_fails.tx_flags, TX_START | TX_HEADER | TX_DATA | TX_END);
}

TEST(Retry, BufferedSendKeepsAllBitsWhenTheTransportRefuses)
{
    ScriptedNode node(14);
    node.write_script = {KORVA_STATUS_FAIL};
    EXPECT_EQ(node.write(3, 5, kPayload12.data(), 2, 1), KORVA_STATUS_FAIL);
    EXPECT_EQ(node.tx_flags, TX_START | TX_HEADER | TX_DATA | TX_END);
}

TEST(Refusals, ReservedMessageIdChangesNothing)
{
    ScriptedNode node(14);
    ASSERT_EQ(node.write(3, 5, kPayload12.data(), 2, 5), KORVA_STATUS_SUCCESS);
    const Korva_header before = node.header;
    const uint8_t flags = node.tx_flags;
    node.writes.clear();
    for (const uint8_t id : std::initializer_list<uint8_t>{60, 63, 64, 255}) {
        EXPECT_EQ(node.write(7, id, kPayload12.data(), 2, 5), KORVA_STATUS_MESSAGE_ID_ERROR);
        EXPECT_EQ(node.write_public(id, kPayload12.data(), 2, 5), KORVA_STATUS_MESSAGE_ID_ERROR);
        EXPECT_EQ(node.start_write_queue(KV_REQUEST_EVENT, 7, id, 2, 5), KORVA_STATUS_MESSAGE_ID_ERROR);
    }
    EXPECT_TRUE(node.writes.empty());
    EXPECT_EQ(node.header.len_byte, before.len_byte);
    EXPECT_EQ(node.header.adr_byte, before.adr_byte);
    EXPECT_EQ(node.header.id_byte, before.id_byte);
    EXPECT_EQ(node.tx_flags, flags);
}

TEST(Streamed, PiecesCarryTheWorkedIndicateFrame)
{
    ScriptedNode node(14);
    node.set_fixed_packet_size(40); // never applies to streamed frames
    const uint8_t three = 3;
    ASSERT_EQ(node.start_write_queue(KV_INDICATE_EVENT, 3, 5, 3, 5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(node.tx_flags, TX_START | TX_HEADER);
    EXPECT_EQ(node.header.len_byte, 0);
    ASSERT_EQ(node.push_to_queue(kPayload12.data(), 2, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node.push_to_queue(&three, 1, 5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(node.tx_flags, TX_START | TX_HEADER | TX_DATA);
    ASSERT_EQ(node.finalize_queue(5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node.writes.size(), 5u);
    EXPECT_EQ(hex(node.writes[0]), "FB");
    EXPECT_EQ(hex(node.writes[1]), "03 E3 17");
    EXPECT_EQ(hex(node.writes[2]), "01 02");
    EXPECT_EQ(hex(node.writes[3]), "03");
    EXPECT_EQ(hex(node.writes[4]), "29 23 BF");
    EXPECT_EQ(node.tx_flags, 0);
}

TEST(Streamed, SameBytesAsOneShotWriteAndIndicateExample)
{
    ScriptedNode write(14);
    ASSERT_EQ(write.start_write_queue(KV_WRITE_EVENT, 3, 5, 2, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(write.push_to_queue(&kPayload12[0], 1, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(write.push_to_queue(&kPayload12[1], 1, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(write.finalize_queue(5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(hex(write.written()), hex(kFirstFrame));

    ScriptedNode indicate(14);
    const uint8_t payload = 0x10;
    ASSERT_EQ(indicate.start_write_queue(KV_INDICATE_EVENT, 15, 5, 1, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(indicate.push_to_queue(&payload, 1, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(indicate.finalize_queue(5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(hex(indicate.written()), "FB 01 EF 17 10 66 E4 BF");
}

TEST(Streamed, EmptyPushWritesNothingButStillCallsTheTransport)
{
    ScriptedNode node(14);
    ASSERT_EQ(node.start_write_queue(KV_WRITE_EVENT, 3, 5, 0, 5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(node.push_to_queue(nullptr, 0, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node.writes.size(), 3u);
    EXPECT_TRUE(node.writes[2].empty());
    EXPECT_EQ(node.finalize_queue(5), KORVA_STATUS_FAIL) << "a pushed total of 0 cannot be finalized";
}

TEST(Streamed, ZeroCountsWriteNothing)
{
    ScriptedNode node(14);
    EXPECT_EQ(node.start_write_queue(KV_WRITE_EVENT, 3, 5, 2, 0), KORVA_STATUS_DEFAULT);
    EXPECT_EQ(node.tx_flags, 0);
    EXPECT_TRUE(node.writes.empty());

    ASSERT_EQ(node.start_write_queue(KV_WRITE_EVENT, 3, 5, 2, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node.push_to_queue(kPayload12.data(), 2, 5), KORVA_STATUS_SUCCESS);
    const size_t before = node.writes.size();
    EXPECT_EQ(node.finalize_queue(0), KORVA_STATUS_DEFAULT);
    EXPECT_EQ(node.writes.size(), before);
    EXPECT_EQ(node.tx_flags, TX_START | TX_HEADER | TX_DATA);
    EXPECT_EQ(node.finalize_queue(1), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(hex(node.written()), hex(kFirstFrame));
}

TEST(Streamed, FailuresLeaveTheFrameWhereTheSpecPutsIt)
{
    ScriptedNode start_fails(14);
    start_fails.write_script = {KORVA_STATUS_TIMEOUT, KORVA_STATUS_TIMEOUT};
    EXPECT_EQ(start_fails.start_write_queue(KV_WRITE_EVENT, 3, 5, 2, 2), KORVA_STATUS_TIMEOUT);
    EXPECT_EQ(start_fails.tx_flags, 0);
    EXPECT_EQ(start_fails.writes.size(), 2u);

    ScriptedNode header_fails(14);
    header_fails.write_script = {KORVA_STATUS_SUCCESS, KORVA_STATUS_FAIL};
    EXPECT_EQ(header_fails.start_write_queue(KV_WRITE_EVENT, 3, 5, 2, 1), KORVA_STATUS_FAIL);
    EXPECT_EQ(header_fails.tx_flags, TX_START | TX_HEADER);
    EXPECT_EQ(header_fails.push_to_queue(kPayload12.data(), 2, 1), KORVA_STATUS_SUCCESS);

    ScriptedNode push_fails(14);
    ASSERT_EQ(push_fails.start_write_queue(KV_WRITE_EVENT, 3, 5, 2, 5), KORVA_STATUS_SUCCESS);
    const uint16_t crc_before = push_fails.queue_crc;
    push_fails.write_script = {KORVA_STATUS_FAIL};
    EXPECT_EQ(push_fails.push_to_queue(kPayload12.data(), 2, 1), KORVA_STATUS_FAIL);
    EXPECT_EQ(push_fails.header.len_byte, 2) << "a failed piece is already counted";
    EXPECT_EQ(push_fails.queue_crc, crc16(kPayload12.data(), 2, crc_before));
    EXPECT_EQ(push_fails.tx_flags, TX_START | TX_HEADER);

    ScriptedNode finalize_fails(14);
    ASSERT_EQ(finalize_fails.start_write_queue(KV_WRITE_EVENT, 3, 5, 2, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(finalize_fails.push_to_queue(kPayload12.data(), 2, 5), KORVA_STATUS_SUCCESS);
    finalize_fails.write_script = {KORVA_STATUS_FAIL, KORVA_STATUS_TIMEOUT};
    EXPECT_EQ(finalize_fails.finalize_queue(2), KORVA_STATUS_TIMEOUT);
    EXPECT_EQ(finalize_fails.tx_flags, TX_START | TX_HEADER | TX_DATA);
    EXPECT_EQ(finalize_fails.finalize_queue(1), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(finalize_fails.tx_flags, 0);
    EXPECT_EQ(hex(finalize_fails.writes.back()), "F3 EF BF");
}

TEST(TypedSend, EveryTypeIsByteExactAndGoesThroughTheOneShotPath)
{
    struct Case {
        uint8_t own_id;
        Korva_message_types type;
        uint8_t receiver;
        uint8_t message_id;
        Bytes payload;
        const char* frame;
    } cases[] = {
        {14, KV_WRITE_EVENT, 3, 5, {0x01, 0x02}, "FB 02 E3 14 01 02 F3 EF BF"},
        {3, KV_REQUEST_EVENT, 14, 63, {}, "FB 00 3E FD 5A 01 BF"},
        {14, KV_RESPONSE_EVENT, 3, 63, {0xA4, 0x86, 0x01, 0x00}, "FB 04 E3 FE A4 86 01 00 48 5D BF"},
        {3, KV_INDICATE_EVENT, 15, 7, {0x10}, "FB 01 3F 1F 10 58 A4 BF"},
    };
    for (const Case& c : cases) {
        for (const bool buffered : {true, false}) {
            SCOPED_TRACE(testing::Message() << c.frame << (buffered ? " buffered" : " bytewise"));
            ScriptedNode node(c.own_id, buffered);
            EXPECT_EQ(node.send(c.type, c.receiver, c.message_id, c.payload.data(),
                                static_cast<uint8_t>(c.payload.size()), 5),
                      KORVA_STATUS_SUCCESS);
            EXPECT_EQ(hex(node.written()), c.frame);
        }
    }
}

TEST(TypedSend, FixedPacketSizeAndIdLimitApplyToEveryType)
{
    ScriptedNode node(14);
    node.set_fixed_packet_size(20);
    ASSERT_EQ(node.send(KV_RESPONSE_EVENT, 3, 6, kPayload12.data(), 2, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node.writes.size(), 1u);
    const Bytes& frame = node.writes.front();
    EXPECT_EQ(frame.size(), 20u);
    EXPECT_EQ(frame[1], 13) << "the length byte counts the padding";
    EXPECT_EQ(frame[3], korva::id_type_byte(6, KV_RESPONSE_EVENT));
    node.writes.clear();
    EXPECT_EQ(node.send(KV_REQUEST_EVENT, 3, 64, nullptr, 0, 5), KORVA_STATUS_MESSAGE_ID_ERROR);
    node.set_fixed_packet_size(8);
    EXPECT_EQ(node.send(KV_INDICATE_EVENT, 3, 6, kPayload12.data(), 2, 5), KORVA_STATUS_MESSAGE_LENGTH_ERROR);
    EXPECT_TRUE(node.writes.empty());
}
