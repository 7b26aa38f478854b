// An arbitrary sequence of transmit operations. Whatever the order, every
// complete one-shot send puts exactly one well-formed frame (I4,
// SECURITY.md) on the wire,
// and a streamed frame that was finished puts out a correctly checksummed
// one.
#include <array>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.hpp"

namespace {

enum Operation : uint8_t {
    WRITE,
    WRITE_PUBLIC,
    START_QUEUE,
    PUSH,
    FINALIZE,
    FIXED_SIZE,
    NEW_ID,
    SEND,
    OPERATION_COUNT
};

class WireRecorder : public Korva<korva_public_4bit_adr> {
public:
    WireRecorder(FuzzedDataProvider& input, bool buffered)
        : Korva(rx, buffered ? tx : nullptr, input.ConsumeIntegral<uint8_t>()), input_(input)
    {
    }

    // Only the attempts that succeed reach the wire.
    Korva_Status_t port_write(const uint8_t* data, uint16_t len) override
    {
        const uint8_t choice = input_.remaining_bytes() ? input_.ConsumeIntegral<uint8_t>() : 0;
        if (choice >= 0xE0) {
            return static_cast<Korva_Status_t>(choice % 13 == KORVA_STATUS_SUCCESS ? KORVA_STATUS_FAIL : choice % 13);
        }
        wire.insert(wire.end(), data, data + len);
        return KORVA_STATUS_SUCCESS;
    }
    Korva_Status_t port_read(uint8_t*, uint16_t) override { return KORVA_STATUS_TIMEOUT; }
    uint64_t port_available() override { return 0; }

    std::vector<uint8_t> wire;

private:
    uint8_t rx[KORVA_BUFFER_SIZE]{};
    uint8_t tx[KORVA_BUFFER_SIZE]{};
    FuzzedDataProvider& input_;
};

void check_one_shot(const WireRecorder& node, Korva_Status_t status, size_t wire_before, uint8_t payload_len)
{
    if (status != KORVA_STATUS_SUCCESS) {
        return;
    }
    const size_t written = node.wire.size() - wire_before;
    const uint8_t* frame = node.wire.data() + wire_before;
    check_frame(frame, written);
    const size_t expected = node.fixed_packet_size ? node.fixed_packet_size : payload_len + korva::FRAME_OVERHEAD;
    FUZZ_CHECK(written == expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    WireRecorder node(input, input.ConsumeBool());
    std::array<uint8_t, 255> payload{};
    size_t stream_start = 0;
    size_t announced = 0;
    size_t pushed = 0;
    bool streaming = false;

    while (input.remaining_bytes() > 0) {
        const auto operation = static_cast<Operation>(input.ConsumeIntegralInRange<uint8_t>(0, OPERATION_COUNT - 1));
        const auto id = input.ConsumeIntegral<uint8_t>();
        const auto len = input.ConsumeIntegral<uint8_t>();
        const auto count = input.ConsumeIntegralInRange<uint8_t>(0, 3);
        const uint8_t* bytes = len ? payload.data() : nullptr;
        for (uint8_t i = 0; i < len; ++i) {
            payload[i] = static_cast<uint8_t>(i * 31 + id);
        }
        const size_t before = node.wire.size();
        switch (operation) {
        case WRITE:
            check_one_shot(node, node.write(input.ConsumeIntegral<uint8_t>(), id, bytes, len, count), before, len);
            streaming = false;
            break;
        case WRITE_PUBLIC:
            check_one_shot(node, node.write_public(id, bytes, len, count), before, len);
            streaming = false;
            break;
        case START_QUEUE:
            if (node.start_write_queue(static_cast<Korva_message_types>(id & 3), id >> 4, id, len, count) ==
                KORVA_STATUS_SUCCESS) {
                streaming = true;
                stream_start = before;
                announced = len;
                pushed = 0;
            } else {
                streaming = false;
            }
            break;
        case PUSH:
            if (node.push_to_queue(bytes, len, count) != KORVA_STATUS_SUCCESS) {
                streaming = false;
            }
            pushed += len;
            break;
        case FINALIZE:
            if (node.finalize_queue(count) == KORVA_STATUS_SUCCESS && streaming && pushed == announced) {
                check_frame(node.wire.data() + stream_start, node.wire.size() - stream_start);
            }
            streaming = false;
            break;
        case FIXED_SIZE:
            node.set_fixed_packet_size(input.ConsumeIntegral<uint16_t>());
            break;
        case NEW_ID:
            node.assign_new_id(id);
            break;
        case SEND: {
            const auto type =
                static_cast<Korva_message_types>(input.ConsumeIntegral<uint8_t>() & korva::MESSAGE_TYPE_MASK);
            check_one_shot(node, node.send(type, input.ConsumeIntegral<uint8_t>(), id, bytes, len, count), before, len);
            streaming = false;
            break;
        }
        default:
            break;
        }
    }
    return 0;
}
