// Engine throughput: the checksum, a one-shot send, a listener receive and a
// send+receive loop-back per frame, against the floor of checksumming the
// frame twice (both ends must run the bitwise CRC over every byte).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "engine/korva.hpp"

namespace {

using Engine = Korva<korva_public_4bit_adr>;

// A link that forgets what is written and replays one frame on reads.
class BenchNode : public Engine {
public:
    explicit BenchNode(uint8_t id) : Engine(rx, tx, id) {}

    Korva_Status_t port_write(const uint8_t* data, uint16_t len) override
    {
        if (loop_to != nullptr) {
            std::memcpy(loop_to->wire + loop_to->wire_len, data, len);
            loop_to->wire_len += len;
        }
        return KORVA_STATUS_SUCCESS;
    }

    Korva_Status_t port_read(uint8_t* dst, uint16_t len) override
    {
        std::memcpy(dst, wire + read_pos, len);
        read_pos += len;
        return KORVA_STATUS_SUCCESS;
    }

    uint64_t port_available() override { return wire_len - read_pos; }

    void rx_callback(uint8_t, Korva_Status_t status, const uint8_t*) override
    {
        delivered += status == KORVA_STATUS_SUCCESS;
    }

    void rewind()
    {
        wire_len = 0;
        read_pos = 0;
    }

    uint8_t wire[4 * korva::MAX_FRAME_LENGTH]{};
    size_t wire_len = 0;
    size_t read_pos = 0;
    BenchNode* loop_to = nullptr;
    int64_t delivered = 0;

private:
    uint8_t rx[KORVA_BUFFER_SIZE]{};
    uint8_t tx[KORVA_BUFFER_SIZE]{};
};

std::vector<uint8_t> payload_of(int64_t len)
{
    std::vector<uint8_t> payload(static_cast<size_t>(len));
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i * 7);
    }
    return payload;
}

void report_per_frame(benchmark::State& state, int64_t payload_len)
{
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * (payload_len + korva::FRAME_OVERHEAD));
}

// Every iteration must have delivered its frame, or the timing means nothing.
void report_delivered_frames(benchmark::State& state, const BenchNode& receiver)
{
    if (receiver.delivered != static_cast<int64_t>(state.iterations())) {
        state.SkipWithError("a frame was not delivered");
    }
    report_per_frame(state, state.range(0));
}

void BM_crc16(benchmark::State& state)
{
    const std::vector<uint8_t> data = payload_of(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc16(data.data(), data.size(), korva::CRC16_INIT));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_crc16)->Arg(262)->Arg(4096);

// The floor: the span a frame's checksum covers, checksummed twice.
void BM_crc_floor(benchmark::State& state)
{
    const std::vector<uint8_t> span = payload_of(state.range(0) + HEADER_SIZE);
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc16(span.data(), span.size(), korva::CRC16_INIT));
        benchmark::DoNotOptimize(crc16(span.data(), span.size(), korva::CRC16_INIT));
    }
    report_per_frame(state, state.range(0));
}

void BM_send(benchmark::State& state)
{
    const std::vector<uint8_t> payload = payload_of(state.range(0));
    BenchNode node(14);
    const auto len = static_cast<uint8_t>(payload.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(node.write(3, 5, payload.data(), len, 1));
    }
    report_per_frame(state, state.range(0));
}

void BM_receive(benchmark::State& state)
{
    const std::vector<uint8_t> payload = payload_of(state.range(0));
    BenchNode sender(14);
    BenchNode receiver(3);
    sender.loop_to = &receiver;
    if (sender.write(3, 5, payload.data(), static_cast<uint8_t>(payload.size()), 1) != KORVA_STATUS_SUCCESS) {
        state.SkipWithError("the frame to receive was not sent");
        return;
    }
    for (auto _ : state) {
        receiver.read_pos = 0;
        benchmark::DoNotOptimize(receiver.listener());
    }
    report_delivered_frames(state, receiver);
}

void BM_loopback(benchmark::State& state)
{
    const std::vector<uint8_t> payload = payload_of(state.range(0));
    BenchNode sender(14);
    BenchNode receiver(3);
    sender.loop_to = &receiver;
    const auto len = static_cast<uint8_t>(payload.size());
    for (auto _ : state) {
        receiver.rewind();
        benchmark::DoNotOptimize(sender.write(3, 5, payload.data(), len, 1));
        benchmark::DoNotOptimize(receiver.listener());
    }
    report_delivered_frames(state, receiver);
}

#define KORVA_PAYLOAD_SIZES ->Arg(0)->Arg(16)->Arg(64)->Arg(255)
BENCHMARK(BM_crc_floor) KORVA_PAYLOAD_SIZES;
BENCHMARK(BM_send) KORVA_PAYLOAD_SIZES;
BENCHMARK(BM_receive) KORVA_PAYLOAD_SIZES;
BENCHMARK(BM_loopback) KORVA_PAYLOAD_SIZES;

} // namespace

BENCHMARK_MAIN();
