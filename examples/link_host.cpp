// A C++ host program on the link core: two nodes on the two ends of a
// pseudo-terminal (or node 3 alone on a real device: link_host DEVICE BAUD).
// Node 3 writes to node 14 and asks for its engine version; node 14's engine
// answers by itself. Every message received is printed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <pty.h>
#include <string>
#include <unistd.h>

#include "link/korva_host_node.hpp"

namespace {

using korva::link::HostNode;
using korva::link::PosixLine;

class PrintingNode : public HostNode {
public:
    using HostNode::HostNode;

    void rx_callback(uint8_t message_type, Korva_Status_t status, const uint8_t* frame) override
    {
        std::printf("node %2u got type %u id %2u from %2u, %u bytes: %s\n", own_id(), message_type,
                    korva::message_id_of(frame[2]), korva_public_4bit_adr::transmitter(frame[1]), frame[0],
                    resolve_status(status));
        ++received;
    }

    int received = 0;
};

constexpr unsigned BAUD = 115200;
constexpr auto POLL = std::chrono::milliseconds(200);

bool ask(PrintingNode& node)
{
    const uint8_t payload[] = {1, 2};
    const Korva_Status_t sent = node.with_room([&] { return node.write(14, 5, payload, sizeof(payload), 5); });
    const Korva_Status_t asked =
        node.with_room([&] { return node.send(KV_REQUEST_EVENT, 14, korva::VERSION_REQUEST_ID, nullptr, 0, 5); });
    return sent == KORVA_STATUS_SUCCESS && asked == KORVA_STATUS_SUCCESS;
}

} // namespace

int main(int argc, char** argv)
{
    PrintingNode node3(3);
    PrintingNode node14(14);
    if (argc == 3) {
        const unsigned baud = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
        node3.attach(PosixLine::open_tty(argv[1], baud), korva::link::default_gap(baud));
    } else {
        int main_end = -1;
        int other_end = -1;
        if (::openpty(&main_end, &other_end, nullptr, nullptr, nullptr) != 0) {
            std::perror("openpty");
            return 1;
        }
        node3.attach(PosixLine::adopt_tty(main_end, "pty main", BAUD), korva::link::default_gap(BAUD));
        node14.attach(PosixLine::adopt_tty(other_end, "pty other", BAUD), korva::link::default_gap(BAUD));
        ::close(main_end);
        ::close(other_end);
    }
    if (!ask(node3)) {
        std::fprintf(stderr, "sending failed\n");
        return 1;
    }
    for (int round = 0; round < 10 && node3.received == 0; ++round) {
        if (node14.has_line()) {
            (void)node14.poll(POLL);
        }
        (void)node3.poll(POLL);
    }
    std::printf("node 3 link: %llu bytes sent, %llu received\n",
                static_cast<unsigned long long>(node3.outbox.bytes_sent()),
                static_cast<unsigned long long>(node3.link.stats.bytes_received));
    return node3.received == 1 ? 0 : 1;
}
