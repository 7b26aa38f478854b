// Reserved requests that arrive while a streamed frame is open are answered
// only once the frame is complete, so no answer lands inside it on the wire
// (I6, SECURITY.md).
#include <gtest/gtest.h>

#include "test_link.hpp"

namespace {

// Node 3 streams an indicate frame, id 6, payload 01 02 03, to node 9.
const char* const kStreamed = "FB 03 39 1B 01 02 03 7F 90 BF";
const Bytes kVersionRequestFrom9 = {0xFB, 0x00, 0x93, 0xFD, 0x34, 0x08, 0xBF};
const Bytes kId60RequestFrom9 = {0xFB, 0x00, 0x93, 0xF1, 0x34, 0x20, 0xBF};
const Bytes kId60RequestFrom2 = {0xFB, 0x00, 0x23, 0xF1, 0x14, 0x29, 0xBF};
const char* const kVersionAnswerTo9 = "FB 04 39 FE A4 86 01 00 F8 89 BF";
const char* const kId60AnswerTo9 = "FB 00 39 F2 C8 20 BF";
const char* const kId60AnswerTo2 = "FB 00 32 F2 72 23 BF";
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

} // namespace

TEST(HeldAnswers, RequestBetweenPiecesIsAnsweredAfterTheFrame)
{
    ScriptedNode node(3);
    open_stream(node);
    const size_t writes_before = node.writes.size();
    EXPECT_EQ(receive(node, kVersionRequestFrom9), KORVA_STATUS_DEFAULT);
    EXPECT_EQ(node.writes.size(), writes_before) << "nothing may be written inside the open frame";
    EXPECT_EQ(node.held_answers, 1u << 9);
    finish_stream(node);
    EXPECT_EQ(hex(node.written()), wire({kStreamed, kVersionAnswerTo9}));
    EXPECT_EQ(node.held_answers, 0u);
    EXPECT_TRUE(node.notifications.empty());
}

TEST(HeldAnswers, TwoRequestersAreAnsweredInAscendingIdOrder)
{
    ScriptedNode node(3);
    open_stream(node);
    EXPECT_EQ(receive(node, kVersionRequestFrom9), KORVA_STATUS_DEFAULT);
    EXPECT_EQ(receive(node, kId60RequestFrom2), KORVA_STATUS_DEFAULT);
    finish_stream(node);
    EXPECT_EQ(hex(node.written()), wire({kStreamed, kId60AnswerTo2, kVersionAnswerTo9}));
}

TEST(HeldAnswers, ALaterRequestFromTheSameNodeReplacesTheHeldOne)
{
    ScriptedNode node(3);
    open_stream(node);
    EXPECT_EQ(receive(node, kVersionRequestFrom9), KORVA_STATUS_DEFAULT);
    EXPECT_EQ(receive(node, kId60RequestFrom9), KORVA_STATUS_DEFAULT);
    finish_stream(node);
    EXPECT_EQ(hex(node.written()), wire({kStreamed, kId60AnswerTo9}));
}

TEST(HeldAnswers, AOneShotSendGoesFirstThenTheHeldAnswersWhateverItsResult)
{
    ScriptedNode node(3);
    open_stream(node);
    EXPECT_EQ(receive(node, kVersionRequestFrom9), KORVA_STATUS_DEFAULT);
    node.writes.clear();
    node.write_script = {KORVA_STATUS_FAIL};
    const uint8_t aa = 0xAA;
    EXPECT_EQ(node.write(5, 7, &aa, 1, 1), KORVA_STATUS_FAIL);
    EXPECT_EQ(hex(node.written()), wire({"FB 01 35 1C AA D1 B3 BF", kVersionAnswerTo9}));
    EXPECT_EQ(node.held_answers, 0u);
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
    EXPECT_EQ(node.held_answers, 1u << 9);
}

TEST(HeldAnswers, ARequestWithNoOpenStreamIsAnsweredAfterEarlierHeldOnes)
{
    ScriptedNode node(3);
    open_stream(node);
    EXPECT_EQ(receive(node, kVersionRequestFrom9), KORVA_STATUS_DEFAULT);
    // A new stream whose start byte fails leaves no frame open on the wire.
    node.write_script = {KORVA_STATUS_FAIL};
    ASSERT_EQ(node.start_write_queue(KV_INDICATE_EVENT, 9, 6, 3, 1), KORVA_STATUS_FAIL);
    node.writes.clear();
    EXPECT_EQ(receive(node, kId60RequestFrom2), KORVA_STATUS_DEFAULT);
    EXPECT_EQ(hex(node.written()), wire({kVersionAnswerTo9, kId60AnswerTo2}));
}

TEST(HeldAnswers, AnAbandonedStreamSendsThemAtOnceAndLeavesNothingOpen)
{
    ScriptedNode node(3);
    open_stream(node);
    EXPECT_EQ(receive(node, kVersionRequestFrom9), KORVA_STATUS_DEFAULT);
    node.writes.clear();
    EXPECT_TRUE(node.abandon_stream());
    EXPECT_EQ(hex(node.written()), kVersionAnswerTo9);
    EXPECT_EQ(node.held_answers, 0u);
    EXPECT_FALSE(node.stream_open());
    EXPECT_FALSE(node.abandon_stream()) << "nothing is open any more";
}
