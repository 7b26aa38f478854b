// Value records that cross between the engine and Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/korva.hpp"

// A received (or sent) header decoded into fields, with its body.
struct pyKORVA_PUBLIC {
    uint8_t data_len = 0;
    uint8_t receiver_id = 0;
    uint8_t transmitter_id = 0;
    uint8_t message_type = 0;
    uint8_t message_id = 0;
    std::vector<uint8_t> data;
};

// What a transport read hands back: a status and the bytes read.
struct Korva_Pair {
    std::vector<uint8_t> vec;
    Korva_Status_t status = KORVA_STATUS_DEFAULT;
};

// A body handed over from Python as a list, for the engine: one that holds
// fewer than `len` bytes is handed over as no data at all, which the engine
// refuses with KORVA_STATUS_FAIL before anything is written or counted.
inline const uint8_t* payload_of(const std::vector<uint8_t>& bytes, size_t len)
{
    return bytes.empty() || bytes.size() < len ? nullptr : bytes.data();
}

// `header` points at the three header bytes, directly followed by the body.
inline pyKORVA_PUBLIC decode_header(const uint8_t* header)
{
    using Address = korva_public_4bit_adr;
    pyKORVA_PUBLIC record;
    record.data_len = header[0];
    record.receiver_id = Address::receiver(header[1]);
    record.transmitter_id = Address::transmitter(header[1]);
    record.message_type = korva::message_type_of(header[2]);
    record.message_id = korva::message_id_of(header[2]);
    record.data.assign(header + 3, header + 3 + header[0]);
    return record;
}
