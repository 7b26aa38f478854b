// The engine must never allocate: replace the global allocator with a
// counting one and drive every transmit and receive path over a transport
// that stores into fixed arrays (I5, SECURITY.md).
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <new>

#include "engine/korva.hpp"

namespace {
size_t g_allocations = 0;
}

void* operator new(std::size_t size)
{
    ++g_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

class FixedLink : public Korva<korva_public_4bit_adr> {
public:
    explicit FixedLink(uint8_t id, bool buffered) : Korva(rx, buffered ? tx : nullptr, id) {}

    Korva_Status_t port_write(const uint8_t* data, uint16_t len) override
    {
        for (uint16_t i = 0; i < len; ++i) {
            wire[wire_len++ % wire.size()] = data[i];
        }
        return KORVA_STATUS_SUCCESS;
    }

    Korva_Status_t port_read(uint8_t* dst, uint16_t len) override
    {
        for (uint16_t i = 0; i < len; ++i) {
            dst[i] = wire[read_pos++ % wire.size()];
        }
        return KORVA_STATUS_SUCCESS;
    }

    uint64_t port_available() override { return wire_len - read_pos; }

    uint8_t rx[KORVA_BUFFER_SIZE]{};
    uint8_t tx[KORVA_BUFFER_SIZE]{};
    std::array<uint8_t, 4096> wire{};
    size_t wire_len = 0;
    size_t read_pos = 0;
};

} // namespace

TEST(NoAllocation, TransmitAndReceivePathsAllocateNothing)
{
    std::array<uint8_t, 255> payload{};
    const std::array<uint8_t, 7> version_request = {0xFB, 0x00, 0xEE, 0xFD, 0xBA, 0x0D, 0xBF};
    FixedLink buffered(14, true);
    FixedLink bytewise(14, false);

    // Statuses are kept in a fixed array and checked after the count: a
    // failing expectation allocates its message.
    std::array<Korva_Status_t, 14> statuses{};
    size_t next = 0;
    bool drained = true;
    const size_t before = g_allocations;
    for (FixedLink* node : {&buffered, &bytewise}) {
        node->set_fixed_packet_size(20);
        statuses[next++] = node->write(14, 5, payload.data(), 4, 5);
        node->set_fixed_packet_size(0);
        statuses[next++] = node->write_public(6, payload.data(), 255, 5);
        statuses[next++] = node->start_write_queue(KV_INDICATE_EVENT, 14, 7, 3, 5);
        statuses[next++] = node->push_to_queue(payload.data(), 3, 5);
        statuses[next++] = node->finalize_queue(5);
        statuses[next++] = node->port_write(version_request.data(), version_request.size());
        // Every frame on this wire is well formed, and each call takes one.
        for (int calls = 0; calls < 10 && node->port_available() >= HEADER_SIZE; ++calls) {
            static_cast<void>(node->listener()); // checked through the wire length below
        }
        drained = drained && node->port_available() < HEADER_SIZE;
        statuses[next++] = node->handle_message_data(payload.data(), payload.size(), 3);
    }
    EXPECT_EQ(g_allocations, before);
    EXPECT_TRUE(drained);
    // The zero bytes handed to handle_message_data end in no end byte.
    const std::array<Korva_Status_t, 7> expected = {
        KORVA_STATUS_SUCCESS, KORVA_STATUS_SUCCESS, KORVA_STATUS_SUCCESS,        KORVA_STATUS_SUCCESS,
        KORVA_STATUS_SUCCESS, KORVA_STATUS_SUCCESS, KORVA_STATUS_END_BYTE_ERROR,
    };
    for (size_t i = 0; i < statuses.size(); ++i) {
        EXPECT_EQ(statuses[i], expected[i % expected.size()]) << "call " << i;
    }
    // padded 20 + longest 262 + streamed 10 + request 7 + its answer 11
    EXPECT_EQ(buffered.wire_len, 310u);
    EXPECT_EQ(bytewise.wire_len, 310u);
}
