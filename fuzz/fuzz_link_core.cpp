// The link core under arbitrary bytes in arbitrary chunks. The input builds
// a stream of noise runs and intact frames for node 14, then feeds it in
// chunks of the input's choosing; at the end the line goes quiet and the
// stale fragments are flushed. Checked:
// - a frame delivered as SUCCESS lies whole and intact in the stream (I8,
//   SECURITY.md);
// - every intact frame put in the stream is delivered, unless another
//   intact frame covers its start byte (which the link may rightly take);
// - after each service call less than one frame stays buffered (I8).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <set>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.hpp"
#include "link/korva_host_node.hpp"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t OWN_ID = 14;

class RecordingNode : public korva::link::HostNode {
public:
    RecordingNode() : korva::link::HostNode(OWN_ID) {}

    void rx_callback(uint8_t, Korva_Status_t status, const uint8_t* header) override
    {
        if (status == KORVA_STATUS_SUCCESS) {
            Bytes frame(header - 1, header + 3 + header[0] + korva::FRAME_TRAILER_SIZE);
            frame[0] = MESSAGE_START; // the start byte lies before the header in the engine's buffer
            // The listener has read the whole frame, so it ends where the unread bytes begin.
            delivered_at.insert(fed - link.rx.size() - frame.size());
            delivered.push_back(frame);
        }
    }

    std::vector<Bytes> delivered;
    std::set<size_t> delivered_at; // stream offsets of their start bytes
    size_t fed = 0;
};

struct Span {
    size_t start;
    Bytes frame;
};

Bytes make_frame(FuzzedDataProvider& input)
{
    const uint8_t transmitter = input.ConsumeIntegral<uint8_t>() & 0x0F;
    const uint8_t receiver = input.ConsumeBool() ? OWN_ID : PUBLIC_ID_4BIT;
    const uint8_t type = input.ConsumeIntegral<uint8_t>() & korva::MESSAGE_TYPE_MASK;
    // Reserved requests are answered, not delivered; keep to ordinary ids.
    const uint8_t message_id = input.ConsumeIntegralInRange<uint8_t>(0, korva::FIRST_RESERVED_ID - 1);
    const Bytes payload = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 40));
    Bytes frame = {MESSAGE_START, static_cast<uint8_t>(payload.size()),
                   static_cast<uint8_t>(transmitter << 4 | receiver), korva::id_type_byte(message_id, type)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    const uint16_t crc = crc16(frame.data(), static_cast<uint16_t>(frame.size()), korva::CRC16_INIT);
    frame.insert(frame.end(), {korva::crc_high(crc), korva::crc_low(crc), MESSAGE_END});
    return frame;
}

bool intact_frame_at(const Bytes& stream, size_t at)
{
    if (stream[at] != MESSAGE_START || at + korva::FRAME_OVERHEAD > stream.size()) {
        return false;
    }
    const size_t length = stream[at + 1] + korva::FRAME_OVERHEAD;
    if (at + length > stream.size() || stream[at + length - 1] != MESSAGE_END) {
        return false;
    }
    const uint16_t crc =
        crc16(&stream[at], static_cast<uint16_t>(length - korva::FRAME_TRAILER_SIZE), korva::CRC16_INIT);
    return stream[at + length - 3] == korva::crc_high(crc) && stream[at + length - 2] == korva::crc_low(crc);
}

bool covered_by_another_frame(const Bytes& stream, size_t start)
{
    for (size_t at = start >= korva::MAX_FRAME_LENGTH ? start - korva::MAX_FRAME_LENGTH : 0; at < start; ++at) {
        if (intact_frame_at(stream, at) && at + stream[at + 1] + korva::FRAME_OVERHEAD > start) {
            return true;
        }
    }
    return false;
}

bool contains(const Bytes& stream, const Bytes& frame)
{
    return std::search(stream.begin(), stream.end(), frame.begin(), frame.end()) != stream.end();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    Bytes stream;
    std::vector<Span> sent;
    while (stream.size() < 4096 && input.remaining_bytes() > 8 && input.ConsumeBool()) {
        if (input.ConsumeBool()) {
            const Bytes noise = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(1, 16));
            stream.insert(stream.end(), noise.begin(), noise.end());
        } else {
            sent.push_back({stream.size(), make_frame(input)});
            stream.insert(stream.end(), sent.back().frame.begin(), sent.back().frame.end());
        }
    }

    RecordingNode node;
    korva::link::Tick now = 0;
    size_t& fed = node.fed;
    while (fed < stream.size()) {
        const size_t chunk = std::min(stream.size() - fed, input.ConsumeIntegralInRange<size_t>(1, 300));
        fed += node.link.feed(&stream[fed], chunk, now);
        static_cast<void>(node.link.service(node, now)); // outcomes are checked through what was delivered
        FUZZ_CHECK(node.link.rx.size() < korva::MAX_FRAME_LENGTH);
    }
    now += korva::link::ticks_of(std::chrono::seconds(1)); // the line goes quiet: every fragment goes stale
    static_cast<void>(node.link.service(node, now));
    FUZZ_CHECK(node.link.rx.empty());

    for (const Bytes& frame : node.delivered) {
        check_frame(frame.data(), frame.size());
        FUZZ_CHECK(contains(stream, frame));
    }
    for (const Span& span : sent) {
        FUZZ_CHECK(node.delivered_at.count(span.start) == 1 || covered_by_another_frame(stream, span.start));
    }
    return 0;
}
