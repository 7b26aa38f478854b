// A ready-made node for C++ host programs: the engine with buffers of its
// own, on the link core.
//
//     korva::link::HostNode node(3);
//     node.attach(korva::link::PosixLine::open_tty("/dev/ttyUSB0", 115200),
//                 korva::link::default_gap(115200));
//     node.with_room([&] { return node.write(14, 5, payload, 2, 5); });
//     node.poll(std::chrono::milliseconds(100));
#pragma once

#include <cstdint>

#include "engine/korva.hpp"
#include "korva_node.hpp"

namespace korva::link {

class BufferedEngine : public Korva<korva_public_4bit_adr> {
public:
    explicit BufferedEngine(uint8_t id) : Korva(rx_storage_, tx_storage_, id) {}
    ~BufferedEngine() = default;

private:
    uint8_t rx_storage_[KORVA_BUFFER_SIZE]{};
    uint8_t tx_storage_[KORVA_BUFFER_SIZE]{};
};

using HostNode = Node<BufferedEngine>;

} // namespace korva::link
