// What the link tells of the frames it feeds the engine: the listener's
// statuses, and the answers the engine held back for its streamed frame.
#include <gtest/gtest.h>

#include "link/korva_link.hpp"
#include "test_link.hpp"

namespace {

using korva::link::Link;
using korva::link::Tick;

const Bytes kVersionRequestFrom9 = {0xFB, 0x00, 0x93, 0xFD, 0x34, 0x08, 0xBF};
const Bytes kId60RequestFrom9 = {0xFB, 0x00, 0x93, 0xF1, 0x34, 0x20, 0xBF};
const Bytes kId60RequestFrom2 = {0xFB, 0x00, 0x23, 0xF1, 0x14, 0x29, 0xBF};

// Node 3, reading through a link instead of a scripted byte queue.
class LinkedNode : public ScriptedNode {
public:
    LinkedNode() : ScriptedNode(3) {}

    Korva_Status_t port_read(uint8_t* dst, uint16_t len) override { return link.port_read(dst, len); }
    uint64_t port_available() override { return link.port_available(); }

    Korva_Status_t hear(const Bytes& frame)
    {
        now += 1;
        EXPECT_EQ(link.feed(frame.data(), frame.size(), now), frame.size());
        return link.service(*this, now);
    }

    Link<512> link;
    Tick now = 0;
};

} // namespace

TEST(LinkPump, CountsTheAnswersTheEngineHeldNotTheRequests)
{
    LinkedNode node;
    const uint8_t payload[] = {1, 2};
    ASSERT_EQ(node.start_write_queue(KV_INDICATE_EVENT, 9, 6, 2, 5), KORVA_STATUS_SUCCESS);
    struct Step {
        const Bytes& request;
        korva::link::Count held; // answers_held after the request
    };
    const Step steps[] = {
        {kVersionRequestFrom9, 1},
        {kId60RequestFrom9, 1}, // replaces node 9's held request: no second answer
        {kId60RequestFrom2, 2},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(node.hear(step.request), KORVA_STATUS_DEFAULT);
        EXPECT_EQ(node.link.heard.answers_held, step.held);
    }
    ASSERT_EQ(node.push_to_queue(payload, 2, 5), KORVA_STATUS_SUCCESS);
    ASSERT_EQ(node.finalize_queue(5), KORVA_STATUS_SUCCESS);
    EXPECT_EQ(node.held_answer_count(), 0);

    node.writes.clear();
    EXPECT_EQ(node.hear(kVersionRequestFrom9), KORVA_STATUS_DEFAULT);
    EXPECT_EQ(node.writes.size(), 1u) << "answered at once";
    EXPECT_EQ(node.link.heard.answers_held, 2u) << "an answer sent at once was never held";
    EXPECT_EQ(node.link.heard.listener_calls, 4u);
    EXPECT_EQ(node.link.heard.results[KORVA_STATUS_DEFAULT], 4u);
}
