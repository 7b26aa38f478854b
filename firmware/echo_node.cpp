// The echo node, id 14: its engine answers the reserved requests, and every
// write frame that arrives intact goes back to its sender with the same
// message id and body. Nothing else is ever sent.
#include "board.hpp"
#include "korva_port.hpp"

namespace {

constexpr uint8_t NODE_ID = DEFAULT_ID_4BIT;
// Room for the longest frame: a false start is given up once the bytes
// behind it would make it whole, or once it goes stale.
constexpr size_t LINE_CAPACITY = korva::MAX_FRAME_LENGTH;
// Long beside the gaps inside a frame that a busy host leaves, short beside
// the time a host waits for an answer.
constexpr unsigned long STALE_AFTER = board::TICKS_PER_SECOND / 10;

class EchoNode : public korva::fw::Port<LINE_CAPACITY> {
public:
    using Port::Port;

    void rx_callback(uint8_t message_type, Korva_Status_t status, const uint8_t* header) override
    {
        if (status != KORVA_STATUS_SUCCESS || message_type != KV_WRITE_EVENT) {
            return;
        }
        const uint8_t sender = korva_public_4bit_adr::transmitter(header[1]);
        const uint8_t* body = header + sizeof(Korva_header);
        // A write may carry any id, 60 to 63 included, so the echo goes out
        // through the typed send. One attempt: the board's transmit cannot fail.
        static_cast<void>(send(KV_WRITE_EVENT, sender, korva::message_id_of(header[2]), body, header[0], 1));
    }
};

uint8_t rx_buffer[KORVA_BUFFER_SIZE];
uint8_t tx_buffer[KORVA_BUFFER_SIZE];
EchoNode::Link link_buffer;
EchoNode node(NODE_ID, rx_buffer, tx_buffer, link_buffer);

} // namespace

int main()
{
    board::init();
    node.run(STALE_AFTER);
}
