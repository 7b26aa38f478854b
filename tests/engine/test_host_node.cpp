// The host node's outbox: a frame reported as sent reaches the line with no
// later call on the node, a dropped line takes everything queued for it, and
// a failed line refuses every send.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/korva_host_node.hpp"
#include "test_link.hpp"

namespace {

using korva::link::HostNode;
using korva::link::PosixLine;
using namespace std::chrono_literals;

constexpr auto kBound = 20s; // never reached unless the node is broken

struct SocketPair {
    int ends[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0); }
    ~SocketPair()
    {
        for (int end : ends) {
            if (end >= 0) {
                ::close(end);
            }
        }
    }
    // The node's end, taken over by its line.
    PosixLine node_line() { return PosixLine::adopt(std::exchange(ends[0], -1), "socket pair"); }
};

// Reads from `fd` until `count` bytes came or the bound passed, at most
// `chunk` bytes at a time with `pause` between reads (a slow reader), then
// whatever else arrives within a short while: bytes beyond `count` are a fault.
Bytes read_bytes(int fd, size_t count, size_t chunk = 4096, std::chrono::microseconds pause = {})
{
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    std::vector<uint8_t> buffer(chunk);
    for (;;) {
        const bool all_there = got.size() >= count;
        if (!all_there && std::chrono::steady_clock::now() >= deadline) {
            return got;
        }
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, all_there ? 200 : 100) <= 0) {
            if (all_there) {
                return got;
            }
            continue;
        }
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n <= 0) {
            return got;
        }
        got.insert(got.end(), buffer.begin(), buffer.begin() + n);
        std::this_thread::sleep_for(pause);
    }
}

Bytes frame_of(uint8_t message_id)
{
    ScriptedNode composer(3);
    const Bytes payload(200, message_id);
    EXPECT_EQ(composer.write(14, message_id, payload.data(), 200, 1), KORVA_STATUS_SUCCESS);
    return composer.written();
}

} // namespace

TEST(HostNode, SentFramesReachASlowLineWithNoLaterCall)
{
    SocketPair pair;
    HostNode node(3);
    node.write_timeout = kBound;
    node.attach(pair.node_line(), 10ms);
    Bytes expected;
    for (uint8_t id = 0; id < 59; ++id) {
        const Bytes frame = frame_of(id);
        for (int round = 0; round < 10; ++round) {
            expected.insert(expected.end(), frame.begin(), frame.end());
        }
    }
    // The reader takes 1 KiB a millisecond: far slower than the sends, so
    // the backlog fills and the last frames are still queued when the
    // sending ends.
    Bytes got;
    std::thread reader([&] { got = read_bytes(pair.ends[1], expected.size(), 1024, 1000us); });
    for (uint8_t id = 0; id < 59; ++id) {
        const Bytes payload(200, id);
        for (int round = 0; round < 10; ++round) {
            ASSERT_EQ(node.with_room([&] { return node.write(14, id, payload.data(), 200, 1); }), KORVA_STATUS_SUCCESS);
        }
    }
    // No call on the node from here on: only its drain thread can deliver.
    reader.join();
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the bytes differ from what was sent";
    EXPECT_EQ(node.outbox.size(), 0u);
}

TEST(HostNode, ADroppedLineTakesItsBacklogAndTheNextLineStartsClean)
{
    SocketPair first;
    HostNode node(3);
    node.write_timeout = 50ms;
    node.attach(first.node_line(), 10ms);
    const Bytes payload(200, 0x55);
    while (node.with_room([&] { return node.write(14, 1, payload.data(), 200, 1); }) == KORVA_STATUS_SUCCESS) {
    }
    ASSERT_GT(node.outbox.size(), 0u) << "the peer never read, so some bytes must still wait";
    EXPECT_EQ(node.stats.write_timeouts, 1u);

    node.drop_line();
    EXPECT_TRUE(node.dropped());
    EXPECT_EQ(node.outbox.size(), 0u);
    EXPECT_EQ(node.stats.drops, 1u);

    SocketPair second;
    node.attach(second.node_line(), 10ms);
    const uint8_t one = 0x01;
    ASSERT_EQ(node.with_room([&] { return node.write(14, 2, &one, 1, 1); }), KORVA_STATUS_SUCCESS);
    ScriptedNode composer(3);
    ASSERT_EQ(composer.write(14, 2, &one, 1, 1), KORVA_STATUS_SUCCESS);
    const Bytes got = read_bytes(second.ends[1], composer.written().size());
    EXPECT_EQ(hex(got), hex(composer.written())) << "only the new frame goes out on the new line";
    EXPECT_EQ(node.stats.reconnects, 1u);
}

TEST(HostNode, ALineWhoseOtherEndIsGoneRefusesEverySendAndQueuesNothing)
{
    SocketPair pair;
    HostNode node(3);
    node.attach(pair.node_line(), 10ms);
    ::close(std::exchange(pair.ends[1], -1));
    const uint8_t one = 0x01;
    const auto send = [&] { return node.with_room([&] { return node.write(14, 1, &one, 1, 1); }); };
    for (int attempt = 0; attempt < 3; ++attempt) {
        try {
            static_cast<void>(send());
            ADD_FAILURE() << "send " << attempt << " reported a status for a line that is gone";
        } catch (const std::system_error& failure) {
            EXPECT_STREQ(failure.what(), "connection closed by the other end of socket pair: Connection reset by peer");
        }
    }
    EXPECT_THROW(static_cast<void>(node.service(korva::link::Clock::now())), std::system_error);
    EXPECT_EQ(node.outbox.size(), 0u);
    EXPECT_EQ(node.outbox.bytes_sent(), 0u);
}

TEST(HostNode, AFailureTheDrainThreadMeetsIsTheNextSendsToo)
{
    SocketPair pair;
    HostNode node(3);
    node.write_timeout = 50ms;
    node.attach(pair.node_line(), 10ms);
    const Bytes payload(200, 0x11);
    while (node.with_room([&] { return node.write(14, 1, payload.data(), 200, 1); }) == KORVA_STATUS_SUCCESS) {
    }
    // The peer goes away without reading: the drain thread's next write meets the reset.
    ::shutdown(pair.ends[1], SHUT_RD);
    ::close(std::exchange(pair.ends[1], -1));
    std::string first;
    try {
        static_cast<void>(node.flush(kBound));
    } catch (const std::system_error& failure) {
        first = failure.what();
    }
    ASSERT_FALSE(first.empty()) << "the drain thread must stop at the failure";
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            static_cast<void>(node.with_room([&] { return node.write(14, 1, payload.data(), 200, 1); }));
            ADD_FAILURE() << "a send after the failure reported a status";
        } catch (const std::system_error& failure) {
            EXPECT_EQ(first, failure.what());
        }
    }
}
