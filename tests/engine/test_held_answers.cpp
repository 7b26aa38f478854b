// Reserved requests that arrive while a streamed frame is open are answered
// only once the frame is complete, so no answer lands inside it on the wire
// (I6, SECURITY.md). Whether sent at once or held, an answer is the same bytes.
#include <gtest/gtest.h>

#include <functional>

#include "test_link.hpp"

namespace {

// Node 3 streams an indicate frame, id 6, payload 01 02 03, to node 9.
const char* const kStreamed = "FB 03 39 1B 01 02 03 7F 90 BF";
const Bytes kVersionRequestFrom9 = {0xFB, 0x00, 0x93, 0xFD, 0x34, 0x08, 0xBF};
const Bytes kId60RequestFrom9 = {0xFB, 0x00, 0x93, 0xF1, 0x34, 0x20, 0xBF};
const Bytes kId60RequestFrom2 = {0xFB, 0x00, 0x23, 0xF1, 0x14, 0x29, 0xBF};
const Bytes kVersionRequestFrom9ToAll = {0xFB, 0x00, 0x9F, 0xFD, 0x1C, 0x08, 0xBF};
const Bytes kId61RequestFrom2ToAll = {0xFB, 0x00, 0x2F, 0xF5, 0xBC, 0x32, 0xBF};
const Bytes kId62RequestFrom9ToAll = {0xFB, 0x00, 0x9F, 0xF9, 0x9C, 0x13, 0xBF};
const char* const kVersionAnswerTo9 = "FB 04 39 FE A4 86 01 00 F8 89 BF";
const char* const kId60AnswerTo9 = "FB 00 39 F2 C8 20 BF";
const char* const kId60AnswerTo2 = "FB 00 32 F2 72 23 BF";
const char* const kId61AnswerTo2 = "FB 00 32 F6 F2 38 BF";
const char* const kId62AnswerTo9 = "FB 00 39 FA 48 13 BF";
const uint8_t kPayload[] = {1, 2, 3};

// Opens the stream and pushes its first two bytes.
void open_stream(ScriptedNode& node)
{
    ASSERT_EQ(node.start_write_queue(KV_INDICATE_EVENT, 9, 6, 3, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node.push_to_queue(kPayload, 2, 5), KORVA_STATUS_SUCCESS);
}

void finish_stream(ScriptedNode& node)
{
    ASSERT_EQ(node.push_to_queue(kPayload + 2, 1, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node.finalize_queue(5), KORVA_STATUS_SUCCESS);
}

Korva_Status_t receive(ScriptedNode& node, const Bytes& frame)
{
    node.feed(frame);
    return node.listener();
}

std::string wire(std::initializer_list<const char*> frames)
{
    std::string out;
    for (const char* frame : frames) {
        out += out.empty() ? "" : " ";
        out += frame;
    }
    return out;
}

// Every reserved id, addressed to node 3 itself or to everyone.
struct ReservedCase {
    const char* name;
    const Bytes& request;
    const char* answer;
};
const ReservedCase kReservedCases[] = {
    {"version from 9 to 3", kVersionRequestFrom9, kVersionAnswerTo9},
    {"id 60 from 9 to 3", kId60RequestFrom9, kId60AnswerTo9},
    {"version from 9 to all", kVersionRequestFrom9ToAll, kVersionAnswerTo9},
    {"id 61 from 2 to all", kId61RequestFrom2ToAll, kId61AnswerTo2},
    {"id 62 from 9 to all", kId62RequestFrom9ToAll, kId62AnswerTo9},
};

} // namespace

TEST(HeldAnswers, RequestBetweenPiecesIsAnsweredAfterTheFrame)
{
    ScriptedNode node(3);
    open_stream(node);
    const size_t writes_before = node.writes.size();
    EXPECT_EQ(receive(node, kVersionRequestFrom9), KORVA_STATUS_DEFAULT);
    EXPECT_EQ(node.writes.size(), writes_before) << "nothing may be written inside the open frame";
    EXPECT_EQ(node.held_answer_count(), 1);
    finish_stream(node);
    EXPECT_EQ(hex(node.written()), wire({kStreamed, kVersionAnswerTo9}));
    EXPECT_EQ(node.held_answer_count(), 0);
    EXPECT_TRUE(node.notifications.empty());
}

TEST(HeldAnswers, EveryReservedRequestGetsTheSameAnswerAtOnceAfterTheFrameOrAfterAnAbandon)
{
    for (const ReservedCase& c : kReservedCases) {
        SCOPED_TRACE(c.name);
        ScriptedNode at_once(3);
        EXPECT_EQ(receive(at_once, c.request), KORVA_STATUS_DEFAULT);
        EXPECT_EQ(hex(at_once.written()), c.answer);
        EXPECT_EQ(at_once.held_answer_count(), 0) << "nothing is held with no stream open";

        ScriptedNode finished(3);
        open_stream(finished);
        EXPECT_EQ(receive(finished, c.request), KORVA_STATUS_DEFAULT);
        EXPECT_EQ(finished.held_answer_count(), 1);
        finish_stream(finished);
        EXPECT_EQ(hex(finished.written()), wire({kStreamed, c.answer}));

        ScriptedNode abandoned(3);
        open_stream(abandoned);
        EXPECT_EQ(receive(abandoned, c.request), KORVA_STATUS_DEFAULT);
        abandoned.writes.clear();
        EXPECT_TRUE(abandoned.abandon_stream());
        EXPECT_EQ(hex(abandoned.written()), c.answer);
        EXPECT_EQ(abandoned.held_answer_count(), 0);

        for (const ScriptedNode* node : {&at_once, &finished, &abandoned}) {
            EXPECT_TRUE(node->notifications.empty()) << "reserved requests never reach the application";
        }
    }
}

// Each way the held answers are let go: they follow in ascending requester
// order, after whatever the releasing call wrote itself, and the count that
// rose with each requester (not with each request) is back at 0.
TEST(HeldAnswers, TheCountRisesPerRequesterAndEveryReleaseEmptiesIt)
{
    const uint8_t aa = 0xAA;
    struct Release {
        const char* name;
        std::function<void(ScriptedNode&)> let_go;
        std::string expected;
    };
    const Release releases[] = {
        {"the frame finishes", finish_stream, wire({"03 7F 90 BF", kId60AnswerTo2, kVersionAnswerTo9})},
        {"the frame is abandoned", [](ScriptedNode& node) { EXPECT_TRUE(node.abandon_stream()); },
         wire({kId60AnswerTo2, kVersionAnswerTo9})},
        {"a one-shot send fails",
         [&](ScriptedNode& node) {
             node.write_script = {KORVA_STATUS_FAIL};
             EXPECT_EQ(node.write(5, 7, &aa, 1, 1), KORVA_STATUS_FAIL);
         },
         wire({"FB 01 35 1C AA D1 B3 BF", kId60AnswerTo2, kVersionAnswerTo9})},
        {"a request comes with no frame open",
         [](ScriptedNode& node) {
             // A new stream whose start byte fails leaves no frame open on the wire.
             node.write_script = {KORVA_STATUS_FAIL};
             ASSERT_EQ(node.start_write_queue(KV_INDICATE_EVENT, 9, 6, 3, 1), KORVA_STATUS_FAIL);
             EXPECT_EQ(node.held_answer_count(), 2) << "a failed start lets nothing go";
             EXPECT_EQ(receive(node, kId60RequestFrom9), KORVA_STATUS_DEFAULT);
         },
         wire({"FB", kId60AnswerTo2, kVersionAnswerTo9, kId60AnswerTo9})},
    };
    for (const Release& release : releases) {
        SCOPED_TRACE(release.name);
        ScriptedNode node(3);
        open_stream(node);
        EXPECT_EQ(node.held_answer_count(), 0);
        EXPECT_EQ(receive(node, kId60RequestFrom9), KORVA_STATUS_DEFAULT);
        EXPECT_EQ(node.held_answer_count(), 1);
        EXPECT_EQ(receive(node, kId60RequestFrom2), KORVA_STATUS_DEFAULT);
        EXPECT_EQ(node.held_answer_count(), 2);
        EXPECT_EQ(receive(node, kVersionRequestFrom9), KORVA_STATUS_DEFAULT);
        EXPECT_EQ(node.held_answer_count(), 2) << "node 9's later request replaces its first";
        node.writes.clear();
        release.let_go(node);
        EXPECT_EQ(hex(node.written()), release.expected);
        EXPECT_EQ(node.held_answer_count(), 0);
    }
}

TEST(HeldAnswers, RefusedOneShotSendsKeepThemHeld)
{
    ScriptedNode node(3);
    open_stream(node);
    EXPECT_EQ(receive(node, kVersionRequestFrom9), KORVA_STATUS_DEFAULT);
    node.writes.clear();
    EXPECT_EQ(node.write(5, 7, nullptr, 1, 1), KORVA_STATUS_FAIL);
    EXPECT_EQ(node.write(5, 60, nullptr, 0, 1), KORVA_STATUS_MESSAGE_ID_ERROR);
    EXPECT_TRUE(node.writes.empty());
    EXPECT_EQ(node.held_answer_count(), 1);
    finish_stream(node);
    EXPECT_EQ(hex(node.written()), wire({"03", "7F 90 BF", kVersionAnswerTo9}));
}

// Held answers are one-shot frames like any other: padded to the fixed
// packet size and, without a transmit buffer, written piece by piece.
TEST(HeldAnswers, AHeldAnswerIsPaddedAndWrittenInPiecesLikeAnyOneShotFrame)
{
    ScriptedNode node(3, false);
    node.set_fixed_packet_size(12);
    open_stream(node);
    EXPECT_EQ(receive(node, kVersionRequestFrom9), KORVA_STATUS_DEFAULT);
    node.writes.clear();
    finish_stream(node);
    std::vector<std::string> pieces;
    for (const Bytes& piece : node.writes) {
        pieces.push_back(hex(piece));
    }
    EXPECT_EQ(pieces, (std::vector<std::string>{"03", "7F 90 BF", "FB", "05 39 FE", "A4 86 01 00", "00", "1B 15 BF"}));
}

// Only requests with ids 60 to 63 are the engine's: a request with id 59 and
// the other message types with id 60 reach the application, stream or not.
TEST(HeldAnswers, OnlyReservedRequestsAreHeld)
{
    struct Frame {
        Bytes bytes;
        bool reserved;
    };
    const Frame frames[] = {
        {{0xFB, 0x00, 0x93, 0xED, 0xB4, 0x6B, 0xBF}, false}, // request, id 59
        {kId60RequestFrom9, true},
        {kVersionRequestFrom9, true},
        {{0xFB, 0x00, 0x93, 0xF0, 0xB4, 0x25, 0xBF}, false}, // write, id 60
        {{0xFB, 0x00, 0x93, 0xF2, 0x34, 0x2A, 0xBF}, false}, // response, id 60
        {{0xFB, 0x00, 0x93, 0xF3, 0xB4, 0x2F, 0xBF}, false}, // indicate, id 60
    };
    for (const Frame& frame : frames) {
        SCOPED_TRACE(hex(frame.bytes));
        EXPECT_EQ(korva::is_reserved_request(frame.bytes[3]), frame.reserved);
        ScriptedNode node(3);
        open_stream(node);
        EXPECT_EQ(receive(node, frame.bytes), frame.reserved ? KORVA_STATUS_DEFAULT : KORVA_STATUS_SUCCESS);
        EXPECT_EQ(node.held_answer_count(), frame.reserved ? 1 : 0);
        EXPECT_EQ(node.notifications.size(), frame.reserved ? 0u : 1u);
    }
}

TEST(HeldAnswers, ADamagedRequestIsNeitherHeldNorAnswered)
{
    Bytes damaged = kVersionRequestFrom9;
    damaged[4] ^= 0x01;
    ScriptedNode node(3);
    open_stream(node);
    EXPECT_EQ(receive(node, damaged), KORVA_STATUS_CRC_ERROR);
    EXPECT_EQ(node.held_answer_count(), 0);
    finish_stream(node);
    EXPECT_EQ(hex(node.written()), kStreamed);
}

TEST(HeldAnswers, AnAbandonedStreamSendsThemAtOnceAndLeavesNothingOpen)
{
    ScriptedNode node(3);
    open_stream(node);
    EXPECT_EQ(receive(node, kVersionRequestFrom9), KORVA_STATUS_DEFAULT);
    node.writes.clear();
    EXPECT_TRUE(node.abandon_stream());
    EXPECT_EQ(hex(node.written()), kVersionAnswerTo9);
    EXPECT_EQ(node.held_answer_count(), 0);
    EXPECT_FALSE(node.stream_open());
    EXPECT_FALSE(node.abandon_stream()) << "nothing is open any more";
}
