// Noisy-channel soak: one engine sends random frames to another over a
// channel that flips bits, drops bytes and inserts garbage. Nothing corrupt
// may ever be delivered as SUCCESS, and once the channel is clean again the
// receiver must resynchronise and deliver every frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <random>
#include <set>

#include "test_link.hpp"

namespace {

struct NoiseRates {
    double flip;
    double drop;
    double insert;
};

class NoisyChannel {
public:
    explicit NoisyChannel(uint32_t seed) : random_(seed) {}

    void carry(const uint8_t* data, uint16_t len)
    {
        for (uint16_t i = 0; i < len; ++i) {
            if (chance(rates_.insert)) {
                bytes.push_back(static_cast<uint8_t>(random_()));
            }
            if (chance(rates_.drop)) {
                continue;
            }
            uint8_t byte = data[i];
            if (chance(rates_.flip)) {
                byte ^= static_cast<uint8_t>(1u << (random_() % 8));
            }
            bytes.push_back(byte);
        }
    }

    void set_rates(NoiseRates rates) { rates_ = rates; }

    std::deque<uint8_t> bytes;

private:
    bool chance(double p) { return p > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < p; }

    std::mt19937 random_;
    NoiseRates rates_{0, 0, 0};
};

class Sender : public Engine {
public:
    explicit Sender(NoisyChannel& channel) : Engine(rx, tx, 1), channel_(channel) {}

    Korva_Status_t port_write(const uint8_t* data, uint16_t len) override
    {
        channel_.carry(data, len);
        return KORVA_STATUS_SUCCESS;
    }
    Korva_Status_t port_read(uint8_t*, uint16_t) override { return KORVA_STATUS_TIMEOUT; }
    uint64_t port_available() override { return 0; }

private:
    uint8_t rx[KORVA_BUFFER_SIZE]{};
    uint8_t tx[KORVA_BUFFER_SIZE]{};
    NoisyChannel& channel_;
};

// Reads whatever the channel holds; a read that runs dry takes what is
// there and times out, as a serial read with a timeout does.
class Receiver : public Engine {
public:
    Receiver(NoisyChannel& channel, uint8_t id) : Engine(rx, tx, id), channel_(channel) {}

    Korva_Status_t port_write(const uint8_t*, uint16_t) override { return KORVA_STATUS_SUCCESS; }

    Korva_Status_t port_read(uint8_t* dst, uint16_t len) override
    {
        for (uint16_t i = 0; i < len; ++i) {
            if (channel_.bytes.empty()) {
                return KORVA_STATUS_TIMEOUT;
            }
            dst[i] = channel_.bytes.front();
            channel_.bytes.pop_front();
        }
        return KORVA_STATUS_SUCCESS;
    }

    uint64_t port_available() override { return channel_.bytes.size(); }

    void rx_callback(uint8_t, Korva_Status_t status, const uint8_t* frame) override
    {
        delivered.push_back({status, Bytes(frame, frame + 3 + frame[0])});
    }

    // Reads everything buffered; its outcomes are what rx_callback records.
    // Each call consumes at least a header's worth of bytes, so the bound is
    // never reached unless listener() stops making progress.
    bool drain()
    {
        for (size_t calls = channel_.bytes.size(); calls != 0 && port_available() >= HEADER_SIZE; --calls) {
            static_cast<void>(listener());
        }
        return port_available() < HEADER_SIZE;
    }

    struct Delivery {
        Korva_Status_t status;
        Bytes header_and_body;
    };
    std::vector<Delivery> delivered;

private:
    uint8_t rx[KORVA_BUFFER_SIZE]{};
    uint8_t tx[KORVA_BUFFER_SIZE]{};
    NoisyChannel& channel_;
};

constexpr uint8_t kReceiverId = 9;
constexpr int kNoisyFrames = 100000;
constexpr int kCleanFrames = 2000;

// Sends one random frame and returns its header and body as the receiver
// would report them.
Bytes send_random_frame(Sender& sender, std::mt19937& random)
{
    Bytes payload(random() % 256);
    for (uint8_t& byte : payload) {
        byte = static_cast<uint8_t>(random());
    }
    const auto len = static_cast<uint8_t>(payload.size());
    const uint8_t* data = payload.empty() ? nullptr : payload.data();
    const auto message_id = static_cast<uint8_t>(random() % korva::FIRST_RESERVED_ID);
    const uint8_t receiver = random() % 2 ? kReceiverId : uint8_t{PUBLIC_ID_4BIT};
    sender.assign_new_id(static_cast<uint8_t>(random() % 16));
    if (len != 0 && random() % 4 == 0) { // an empty streamed frame cannot be finalized
        const auto type = static_cast<Korva_message_types>(random() % 4);
        const auto split = static_cast<uint8_t>(random() % len);
        EXPECT_EQ(sender.start_write_queue(type, receiver, message_id, len, 1), KORVA_STATUS_SUCCESS);
        EXPECT_EQ(sender.push_to_queue(data, split, 1), KORVA_STATUS_SUCCESS);
        EXPECT_EQ(sender.push_to_queue(data + split, static_cast<uint8_t>(len - split), 1), KORVA_STATUS_SUCCESS);
        EXPECT_EQ(sender.finalize_queue(1), KORVA_STATUS_SUCCESS);
    } else {
        EXPECT_EQ(sender.write(receiver, message_id, data, len, 1), KORVA_STATUS_SUCCESS);
    }
    Bytes reported(3 + payload.size());
    reported[0] = len;
    reported[1] = sender.header.adr_byte;
    reported[2] = sender.header.id_byte;
    std::copy(payload.begin(), payload.end(), reported.begin() + 3);
    return reported;
}

} // namespace

TEST(Soak, NoisyChannelNeverDeliversCorruptFramesAndResynchronises)
{
    NoisyChannel channel(20261208);
    Sender sender(channel);
    Receiver receiver(channel, kReceiverId);
    std::mt19937 random(7);
    std::set<Bytes> sent;

    channel.set_rates({1e-3, 1e-4, 1e-4});
    for (int i = 0; i < kNoisyFrames; ++i) {
        sent.insert(send_random_frame(sender, random));
        if (random() % 4 == 0) { // let a few frames queue up before reading
            ASSERT_TRUE(receiver.drain());
        }
    }
    ASSERT_TRUE(receiver.drain());

    size_t intact = 0;
    size_t crc_errors = 0;
    for (const auto& delivery : receiver.delivered) {
        if (delivery.status == KORVA_STATUS_SUCCESS) {
            ASSERT_TRUE(sent.count(delivery.header_and_body))
                << "corrupt frame delivered as SUCCESS: " << hex(delivery.header_and_body);
            ++intact;
        } else {
            EXPECT_EQ(delivery.status, KORVA_STATUS_CRC_ERROR);
            ++crc_errors;
        }
    }
    EXPECT_GT(intact, kNoisyFrames * 8 / 10u);

    channel.set_rates({0, 0, 0});
    receiver.delivered.clear();
    int resync_frames = -1;
    for (int i = 0; i < kCleanFrames; ++i) {
        const Bytes expected = send_random_frame(sender, random);
        ASSERT_TRUE(receiver.drain());
        const bool got_it = !receiver.delivered.empty() && receiver.delivered.back().status == KORVA_STATUS_SUCCESS &&
                            receiver.delivered.back().header_and_body == expected;
        if (resync_frames < 0 && got_it) {
            resync_frames = i;
        }
        if (resync_frames >= 0) {
            ASSERT_TRUE(got_it) << "clean frame " << i << " lost after resynchronising";
        }
    }
    ASSERT_GE(resync_frames, 0);
    EXPECT_LE(resync_frames, 2);

    std::printf("soak: %d frames sent over the noisy channel, %zu delivered intact, %zu reported "
                "CRC_ERROR, %zu lost (neither delivered nor reported); resynchronised after %d clean frame(s)\n",
                kNoisyFrames, intact, crc_errors, kNoisyFrames - intact - crc_errors, resync_frames);
}
