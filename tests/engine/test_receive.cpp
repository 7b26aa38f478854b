#include <gtest/gtest.h>

#include "test_link.hpp"

namespace {

const Bytes kWriteTo14 = {0xFB, 0x02, 0x3E, 0x14, 0x01, 0x02, 0xD7, 0xC8, 0xBF};
const Bytes kWriteTo5 = {0xFB, 0x01, 0x35, 0x04, 0xAA, 0x81, 0xB3, 0xBF};
const Bytes kIndicateToAll = {0xFB, 0x01, 0x3F, 0x1F, 0x10, 0x58, 0xA4, 0xBF};
const Bytes kVersionRequest = {0xFB, 0x00, 0x3E, 0xFD, 0x5A, 0x01, 0xBF};
const Bytes kVersionResponse = {0xFB, 0x04, 0xE3, 0xFE, 0xA4, 0x86, 0x01, 0x00, 0x48, 0x5D, 0xBF};
const Bytes kId60Request = {0xFB, 0x00, 0x3E, 0xF1, 0x5A, 0x29, 0xBF};
const Bytes kId60Response = {0xFB, 0x00, 0xE3, 0xF2, 0x14, 0x2C, 0xBF};

Bytes body_of(const Bytes& frame) { return Bytes(frame.begin() + 4, frame.end()); }

Bytes with_reserved_type(uint8_t id_byte)
{
    const uint8_t header[] = {0xFB, 0x00, 0x3E, id_byte};
    const uint16_t crc = crc16(header, sizeof(header), korva::CRC16_INIT);
    return {0xFB, 0x00, 0x3E, id_byte, korva::crc_high(crc), korva::crc_low(crc), 0xBF};
}

} // namespace

TEST(Listener, FewerThanFourBytesReadsNothing)
{
    ScriptedNode node(14);
    node.feed({0xFB, 0x00, 0x3E});
    EXPECT_EQ(node.listener(), KORVA_STATUS_DEFAULT);
    EXPECT_TRUE(node.read_sizes.empty());
    EXPECT_EQ(node.incoming.size(), 3u);

    node.feed({0xFD});
    EXPECT_NE(node.listener(), KORVA_STATUS_DEFAULT);
    ASSERT_FALSE(node.read_sizes.empty()) << "four bytes start the hunt";
    EXPECT_EQ(node.read_sizes.front(), 1u);
}

TEST(Listener, NoReceiveBufferReadsNothing)
{
    ScriptedNode node(14);
    node.rx_buffer = nullptr;
    node.feed(kWriteTo14);
    EXPECT_EQ(node.listener(), KORVA_STATUS_NULL_MESSAGE);
    EXPECT_TRUE(node.read_sizes.empty());
}

TEST(Listener, NoiseIsDroppedByteByByteAndTheFrameHandledInTheSameCall)
{
    ScriptedNode node(14);
    node.feed({0x00, 0xBF, 0x42});
    node.feed(kWriteTo14);
    EXPECT_EQ(node.listener(), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(node.read_sizes, (std::vector<uint16_t>{1, 1, 1, 1, 3, 5}));
    ASSERT_EQ(node.notifications.size(), 1u);
    EXPECT_TRUE(node.incoming.empty());
}

TEST(Listener, WorkedFramesGiveTheirStatusesAndState)
{
    Bytes corrupted = kWriteTo14;
    corrupted[5] ^= 0x40;
    struct Case {
        const char* name;
        Bytes frame;
        Korva_Status_t result;
        bool notified;
        uint8_t message_type;
        uint16_t rx_pos;
    };
    const Case cases[] = {
        {"write to 14", kWriteTo14, KORVA_STATUS_SUCCESS, true, 0, 6},
        {"changed body byte", corrupted, KORVA_STATUS_CRC_ERROR, true, 0, 6},
        {"for node 5", kWriteTo5, KORVA_STATUS_PORT_BUSY, false, 0, 4},
        {"public indicate", kIndicateToAll, KORVA_STATUS_SUCCESS, true, 3, 5},
        {"empty body", {0xFB, 0x00, 0x3E, 0x14, 0xD8, 0x74, 0xBF}, KORVA_STATUS_SUCCESS, true, 0, 4},
        {"FB and BF inside the body",
         {0xFB, 0x03, 0x3E, 0x14, 0xFB, 0xBF, 0xFB, 0x32, 0xAA, 0xBF},
         KORVA_STATUS_SUCCESS,
         true,
         0,
         7},
    };
    for (const Case& c : cases) {
        ScriptedNode node(14);
        node.feed(c.frame);
        EXPECT_EQ(node.listener(), c.result) << c.name;
        EXPECT_TRUE(node.incoming.empty()) << c.name << ": the whole frame is consumed";
        EXPECT_EQ(node.rx_flags, 0) << c.name;
        EXPECT_EQ(node.rx_pos, c.rx_pos) << c.name;
        EXPECT_TRUE(node.writes.empty()) << c.name;
        ASSERT_EQ(node.notifications.size(), c.notified ? 1u : 0u) << c.name;
        if (c.notified) {
            const Notification& n = node.notifications[0];
            EXPECT_EQ(n.message_type, c.message_type) << c.name;
            EXPECT_EQ(n.status, c.result) << c.name;
            EXPECT_EQ(hex(n.header_and_body), hex(Bytes(c.frame.begin() + 1, c.frame.end() - 3))) << c.name;
        }
    }
}

TEST(Listener, ConsecutiveFramesOnePerCall)
{
    ScriptedNode node(14);
    node.feed(kWriteTo5);
    node.feed(kWriteTo14);
    EXPECT_EQ(node.listener(), KORVA_STATUS_PORT_BUSY);
    EXPECT_EQ(node.incoming.size(), kWriteTo14.size());
    EXPECT_EQ(node.listener(), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(node.notifications.size(), 1u);
}

TEST(Listener, BadEndByteWinsOverOtherFaults)
{
    Bytes other_node = kWriteTo5;
    other_node.back() = 0xBE;
    Bytes bad_crc = kWriteTo14;
    bad_crc[6] ^= 0x01;
    bad_crc.back() = 0x00;
    Bytes bad_request = kVersionRequest;
    bad_request[4] ^= 0xFF;
    bad_request.back() = 0xFB;
    for (const Bytes& frame : {other_node, bad_crc, bad_request}) {
        ScriptedNode node(14);
        node.feed(frame);
        EXPECT_EQ(node.listener(), KORVA_STATUS_END_BYTE_ERROR) << hex(frame);
        EXPECT_TRUE(node.notifications.empty());
        EXPECT_TRUE(node.writes.empty());
        EXPECT_EQ(node.rx_flags, 0);
        EXPECT_EQ(node.rx_pos, 4);
    }
}

TEST(Listener, HuntStopsAtAFailedRead)
{
    ScriptedNode node(14);
    node.feed({0x01, 0x02, 0x03, 0x04, 0x05});
    node.read_script = {KORVA_STATUS_SUCCESS, KORVA_STATUS_TIMEOUT, KORVA_STATUS_SUCCESS};
    EXPECT_EQ(node.listener(), KORVA_STATUS_START_BYTE_ERROR);
    EXPECT_EQ(node.read_sizes, (std::vector<uint16_t>{1, 1, 3}));
}

TEST(Listener, SoftHeaderFailureReadsFourBytesThatTheParserRejects)
{
    struct Case {
        Korva_Status_t header_status;
        Bytes after_start;
        Korva_Status_t result;
    };
    const Case cases[] = {
        {KORVA_STATUS_TIMEOUT, {0x02, 0x3E, 0x14, 0x01, 0x02, 0xD7, 0xC8}, KORVA_STATUS_END_BYTE_ERROR},
        {KORVA_STATUS_DEFAULT, {0x02, 0x3E, 0x14, 0x01, 0x02, 0xD7, 0xBF}, KORVA_STATUS_MESSAGE_LENGTH_ERROR},
        {KORVA_STATUS_PORT_BUSY, {0x01, 0x3E, 0x14, 0x01, 0x02, 0xD7, 0xBF}, KORVA_STATUS_HEADER_LENGTH_ERROR},
    };
    for (const Case& c : cases) {
        ScriptedNode node(14);
        node.feed({0xFB});
        node.feed(c.after_start);
        node.read_script = {KORVA_STATUS_SUCCESS, c.header_status, KORVA_STATUS_SUCCESS};
        EXPECT_EQ(node.listener(), c.result) << int(c.header_status);
        EXPECT_EQ(node.read_sizes, (std::vector<uint16_t>{1, 3, 4}));
        EXPECT_EQ(node.rx_flags, 0);
        EXPECT_TRUE(node.notifications.empty());
    }
}

TEST(Listener, SendsAreBusyWhileAnotherNodesFrameIsRead)
{
    ScriptedNode node(14);
    node.feed(kWriteTo5);
    std::vector<Korva_Status_t> attempts;
    node.on_read = [&](uint16_t len) {
        if (len == 4) { // the body of the frame for node 5
            const uint8_t payload = 1;
            attempts.push_back(node.write(3, 5, &payload, 1, 5));
            attempts.push_back(node.start_write_queue(KV_WRITE_EVENT, 3, 5, 1, 5));
        }
    };
    EXPECT_EQ(node.listener(), KORVA_STATUS_PORT_BUSY);
    EXPECT_EQ(attempts, (std::vector<Korva_Status_t>{KORVA_STATUS_PORT_BUSY, KORVA_STATUS_PORT_BUSY}));
    EXPECT_TRUE(node.writes.empty());

    const uint8_t payload = 1;
    EXPECT_EQ(node.write(3, 5, &payload, 1, 5), KORVA_STATUS_SUCCESS) << "the port is free again";
}

TEST(ReservedRequests, AnsweredWithExactBytesAndNotNotified)
{
    const std::pair<Bytes, Bytes> cases[] = {{kVersionRequest, kVersionResponse}, {kId60Request, kId60Response}};
    for (const auto& [request, response] : cases) {
        ScriptedNode node(14);
        node.feed(request);
        EXPECT_EQ(node.listener(), KORVA_STATUS_DEFAULT);
        ASSERT_EQ(node.writes.size(), 1u);
        EXPECT_EQ(hex(node.writes[0]), hex(response));
        EXPECT_TRUE(node.notifications.empty());
        EXPECT_EQ(node.rx_flags, 0);
    }
    for (const uint8_t id : std::initializer_list<uint8_t>{61, 62}) {
        ScriptedNode node(14);
        node.feed(with_reserved_type(static_cast<uint8_t>(id << 2 | KV_REQUEST_EVENT)));
        EXPECT_EQ(node.listener(), KORVA_STATUS_DEFAULT);
        ASSERT_EQ(node.writes.size(), 1u);
        EXPECT_EQ(node.writes[0][1], 0) << "empty response";
        EXPECT_EQ(node.writes[0][3], id << 2 | KV_RESPONSE_EVENT);
    }
}

TEST(ReservedRequests, AnswerIsTriedOnceAndPaddedAndResultStaysDefault)
{
    ScriptedNode node(14);
    node.set_fixed_packet_size(12);
    node.write_script = {KORVA_STATUS_FAIL};
    node.feed(kVersionRequest);
    EXPECT_EQ(node.listener(), KORVA_STATUS_DEFAULT);
    ASSERT_EQ(node.writes.size(), 1u);
    EXPECT_EQ(node.writes[0].size(), 12u);
    EXPECT_EQ(node.writes[0][1], 5);
}

TEST(ReservedRequests, DamagedRequestIsNeitherAnsweredNorNotified)
{
    Bytes damaged = kVersionRequest;
    damaged[5] ^= 0x01;
    ScriptedNode node(14);
    node.feed(damaged);
    EXPECT_EQ(node.listener(), KORVA_STATUS_CRC_ERROR);
    EXPECT_TRUE(node.writes.empty());
    EXPECT_TRUE(node.notifications.empty());
}

TEST(ReservedRequests, OtherTypesWithReservedIdsReachTheApplication)
{
    for (uint8_t type : {KV_WRITE_EVENT, KV_RESPONSE_EVENT, KV_INDICATE_EVENT}) {
        ScriptedNode node(14);
        node.feed(with_reserved_type(static_cast<uint8_t>(63 << 2 | type)));
        EXPECT_EQ(node.listener(), KORVA_STATUS_SUCCESS);
        ASSERT_EQ(node.notifications.size(), 1u);
        EXPECT_EQ(node.notifications[0].message_type, type);
        EXPECT_TRUE(node.writes.empty());
    }
}

TEST(HandleMessageData, CompletesThePendingFrameFromInsideTheBodyRead)
{
    ScriptedNode node(14);
    node.feed(kWriteTo14);
    Korva_Status_t handled = KORVA_STATUS_DEFAULT;
    node.on_read = [&](uint16_t len) {
        if (len == 5) {
            const Bytes body = body_of(kWriteTo14);
            node.incoming.clear();
            handled = node.handle_message_data(body.data(), body.size(), 5);
        }
    };
    const Korva_Status_t result = node.listener();
    EXPECT_EQ(handled, KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node.notifications.size(), 1u);
    EXPECT_EQ(hex(node.notifications[0].header_and_body), "02 3E 14 01 02");
    EXPECT_EQ(result, KORVA_STATUS_END_BYTE_ERROR);
    EXPECT_EQ(node.rx_flags, 0);
}

TEST(LoopBack, TwoEnginesExchangeEveryKindOfFrame)
{
    ScriptedNode node3(3);
    ScriptedNode node14(14);
    join(node3, node14);
    const Bytes payload = {0xFB, 0xBF, 0x00, 0x7F};

    ASSERT_EQ(node3.write(14, 1, payload.data(), 4, 5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(node14.listener(), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node14.write(3, 2, payload.data(), 2, 5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(node3.listener(), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node3.write_public(3, payload.data(), 1, 5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(node14.listener(), KORVA_STATUS_SUCCESS);

    ASSERT_EQ(node14.start_write_queue(KV_INDICATE_EVENT, 3, 4, 4, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node14.push_to_queue(payload.data(), 3, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node14.push_to_queue(payload.data() + 3, 1, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node14.finalize_queue(5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(node3.listener(), KORVA_STATUS_SUCCESS);

    node3.set_fixed_packet_size(16);
    ASSERT_EQ(node3.write(14, 5, payload.data(), 4, 5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(node14.listener(), KORVA_STATUS_SUCCESS);

    ASSERT_EQ(node14.notifications.size(), 3u);
    EXPECT_EQ(hex(node14.notifications[0].header_and_body), "04 3E 04 FB BF 00 7F");
    EXPECT_EQ(hex(node14.notifications[1].header_and_body), "01 3F 0C FB");
    EXPECT_EQ(hex(node14.notifications[2].header_and_body), "09 3E 14 FB BF 00 7F 00 00 00 00 00");
    ASSERT_EQ(node3.notifications.size(), 2u);
    EXPECT_EQ(hex(node3.notifications[0].header_and_body), "02 E3 08 FB BF");
    EXPECT_EQ(node3.notifications[1].message_type, KV_INDICATE_EVENT);
    EXPECT_EQ(hex(node3.notifications[1].header_and_body), "04 E3 13 FB BF 00 7F");

    // The engine refuses to send reserved ids, so the request goes on the wire raw.
    node3.set_fixed_packet_size(0);
    ASSERT_EQ(node3.port_write(kVersionRequest.data(), 7), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(node14.listener(), KORVA_STATUS_DEFAULT);
    EXPECT_EQ(node3.listener(), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node3.notifications.size(), 3u);
    const Notification& answer = node3.notifications[2];
    EXPECT_EQ(answer.message_type, KV_RESPONSE_EVENT);
    EXPECT_EQ(answer.status, KORVA_STATUS_SUCCESS);
    const Bytes& v = answer.header_and_body;
    ASSERT_EQ(v.size(), 7u);
    EXPECT_EQ(uint32_t{v[3]} | uint32_t{v[4]} << 8 | uint32_t{v[5]} << 16 | uint32_t{v[6]} << 24, 100004u);
    EXPECT_TRUE(node3.incoming.empty());
    EXPECT_TRUE(node14.incoming.empty());
}

TEST(Notifications, PlainFunctionPointersReplaceTheHooks)
{
    static std::vector<std::pair<uint8_t, Korva_Status_t>> received;
    static std::vector<std::pair<uint8_t, Korva_Status_t>> sent;
    received.clear();
    sent.clear();
    ScriptedNode node(14);
    node.rx_callback_ptr = [](uint8_t type, Korva_Status_t status, const uint8_t* header) {
        EXPECT_EQ(header[0], 2);
        received.emplace_back(type, status);
    };
    node.tx_callback_ptr = [](uint8_t type, Korva_Status_t status, const uint8_t*) { sent.emplace_back(type, status); };
    node.feed(kWriteTo14);
    EXPECT_EQ(node.listener(), KORVA_STATUS_SUCCESS);
    EXPECT_TRUE(node.notifications.empty()) << "the virtual hook must not run as well";
    EXPECT_EQ(received, (std::vector<std::pair<uint8_t, Korva_Status_t>>{{0, KORVA_STATUS_SUCCESS}}));

    node.feed(kVersionRequest);
    EXPECT_EQ(node.listener(), KORVA_STATUS_DEFAULT);
    const uint8_t piece = 1;
    ASSERT_EQ(node.start_write_queue(KV_INDICATE_EVENT, 3, 5, 1, 1), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node.push_to_queue(&piece, 1, 1), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node.finalize_queue(1), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(sent, (std::vector<std::pair<uint8_t, Korva_Status_t>>{{KV_RESPONSE_EVENT, KORVA_STATUS_SUCCESS},
                                                                     {KV_INDICATE_EVENT, KORVA_STATUS_SUCCESS}}));
}
