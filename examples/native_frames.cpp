// Two engines joined by an in-memory link: node 14 sends to node 3, and every
// frame is printed in hex as it crosses the wire.
#include <cstdio>
#include <deque>

#include "engine/korva.hpp"

namespace {

class MemoryNode : public Korva<korva_public_4bit_adr> {
public:
    MemoryNode(uint8_t id, std::deque<uint8_t>& out, std::deque<uint8_t>& in) : Korva(rx, tx, id), out_(out), in_(in) {}

    Korva_Status_t port_write(const uint8_t* data, uint16_t len) override
    {
        std::printf("node %2u sends   ", own_id());
        for (uint16_t i = 0; i < len; ++i) {
            std::printf(" %02X", data[i]);
            out_.push_back(data[i]);
        }
        std::printf("\n");
        return KORVA_STATUS_SUCCESS;
    }

    Korva_Status_t port_read(uint8_t* dst, uint16_t len) override
    {
        for (uint16_t i = 0; i < len; ++i) {
            if (in_.empty()) {
                return KORVA_STATUS_TIMEOUT;
            }
            dst[i] = in_.front();
            in_.pop_front();
        }
        return KORVA_STATUS_SUCCESS;
    }

    uint64_t port_available() override { return in_.size(); }

    // `frame` is the received header (length, address, id/type) followed by the body.
    void rx_callback(uint8_t message_type, Korva_Status_t status, const uint8_t* frame) override
    {
        std::printf("node %2u receives type %u id %2u from %2u, %s, body", own_id(), message_type,
                    korva::message_id_of(frame[2]), korva_public_4bit_adr::transmitter(frame[1]),
                    resolve_status(status));
        for (uint8_t i = 0; i < frame[0]; ++i) {
            std::printf(" %02X", frame[3 + i]);
        }
        std::printf("\n");
    }

private:
    uint8_t rx[KORVA_BUFFER_SIZE]{};
    uint8_t tx[KORVA_BUFFER_SIZE]{};
    std::deque<uint8_t>& out_;
    std::deque<uint8_t>& in_;
};

// Every engine call returns a status; a program that drives a link checks each one.
bool expect(Korva_Status_t status, Korva_Status_t wanted, const char* step)
{
    if (status == wanted) {
        return true;
    }
    std::printf("%s: %s, expected %s\n", step, resolve_status(status), resolve_status(wanted));
    return false;
}

} // namespace

int main()
{
    std::deque<uint8_t> to_3;
    std::deque<uint8_t> to_14;
    MemoryNode node14(14, to_3, to_14);
    MemoryNode node3(3, to_14, to_3);
    constexpr Korva_Status_t ok = KORVA_STATUS_SUCCESS;
    bool good = true;

    const uint8_t payload[] = {0x01, 0x02};
    good &= expect(node14.write(3, 5, payload, sizeof(payload), 5), ok, "write");
    good &= expect(node3.listener(), ok, "listener");

    node14.set_fixed_packet_size(12);
    good &= expect(node14.write(3, 5, payload, sizeof(payload), 5), ok, "padded write");
    node14.set_fixed_packet_size(0);
    good &= expect(node3.listener(), ok, "listener");

    const uint8_t piece[] = {0x03};
    good &= expect(node14.start_write_queue(KV_INDICATE_EVENT, 3, 5, 3, 5), ok, "start_write_queue");
    good &= expect(node14.push_to_queue(payload, sizeof(payload), 5), ok, "push_to_queue");
    good &= expect(node14.push_to_queue(piece, sizeof(piece), 5), ok, "push_to_queue");
    good &= expect(node14.finalize_queue(5), ok, "finalize_queue");
    good &= expect(node3.listener(), ok, "listener");

    const uint8_t reading[] = {0x10};
    good &= expect(node3.write_public(7, reading, sizeof(reading), 5), ok, "write_public");
    good &= expect(node14.listener(), ok, "listener");
    return good ? 0 : 1;
}
