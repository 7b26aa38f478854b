// Addressing policy: 4-bit receiver and transmitter ids share the address
// byte (transmitter high nibble, receiver low nibble); id 15 is public.
#pragma once

#include <stdint.h>

#include "korva_frame.hpp"

struct korva_public_4bit_adr {
    static constexpr uint8_t ID_MASK = 0x0F;
    static constexpr uint8_t ID_COUNT = 16;
    static constexpr uint8_t PUBLIC_ID = PUBLIC_ID_4BIT;

    // Ids beyond the 4-bit range fall back to the public id at construction.
    static constexpr uint8_t initial_id(uint8_t id) { return id <= ID_MASK ? id : PUBLIC_ID; }

    static constexpr uint8_t receiver(uint8_t adr_byte) { return adr_byte & ID_MASK; }

    static constexpr uint8_t transmitter(uint8_t adr_byte) { return adr_byte >> 4; }

    static constexpr uint8_t with_receiver(uint8_t adr_byte, uint8_t receiver_id)
    {
        return static_cast<uint8_t>((adr_byte & ~ID_MASK) | (receiver_id & ID_MASK));
    }

    static constexpr uint8_t with_transmitter(uint8_t adr_byte, uint8_t own_id)
    {
        return static_cast<uint8_t>(((own_id & ID_MASK) << 4) | (adr_byte & ID_MASK));
    }

    static constexpr bool is_for(uint8_t adr_byte, uint8_t own_id)
    {
        return receiver(adr_byte) == own_id || receiver(adr_byte) == PUBLIC_ID;
    }
};
