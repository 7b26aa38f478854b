// A transport whose every answer comes from the fuzzer's input: bytes from
// the front, available counts and read statuses from the back.
#pragma once

#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.hpp"

class FuzzLink : public Korva<korva_public_4bit_adr> {
public:
    FuzzLink(FuzzedDataProvider& input, uint8_t id, bool reenter) : Korva(rx, tx, id), input_(input), reenter_(reenter)
    {
    }

    uint64_t port_available() override
    {
        if (input_.remaining_bytes() == 0) {
            return 0;
        }
        const uint8_t choice = input_.ConsumeIntegral<uint8_t>();
        return choice < 0xF0 ? input_.remaining_bytes() : choice & 0x07;
    }

    Korva_Status_t port_read(uint8_t* dst, uint16_t len) override
    {
        if (input_.remaining_bytes() == 0) {
            return KORVA_STATUS_TIMEOUT;
        }
        const uint8_t choice = input_.ConsumeIntegral<uint8_t>();
        if (reenter_ && choice >= 0xE0 && choice < 0xF0) {
            reenter_with_handed_data();
        }
        const std::vector<uint8_t> bytes = input_.ConsumeBytes<uint8_t>(len);
        std::copy(bytes.begin(), bytes.end(), dst);
        return choice < 0xF0 ? KORVA_STATUS_SUCCESS : static_cast<Korva_Status_t>(choice % 13);
    }

    // Every frame written from the receive path is an automatic response,
    // composed whole in the transmit buffer (I4, SECURITY.md).
    Korva_Status_t port_write(const uint8_t* data, uint16_t len) override
    {
        check_frame(data, len);
        return KORVA_STATUS_SUCCESS;
    }

    // I3 (SECURITY.md): a frame delivered as SUCCESS has a right checksum and end byte.
    void rx_callback(uint8_t message_type, Korva_Status_t status, const uint8_t* header) override
    {
        FUZZ_CHECK(header == rx_buffer + 1);
        FUZZ_CHECK(message_type <= KV_INDICATE_EVENT);
        FUZZ_CHECK(status == KORVA_STATUS_SUCCESS || status == KORVA_STATUS_CRC_ERROR);
        FUZZ_CHECK((rx_flags & RX_OTHER) == 0);
        if (status == KORVA_STATUS_SUCCESS) {
            const uint16_t body_len = header[0];
            const uint8_t* trailer = handed_trailer_ != nullptr ? handed_trailer_ : rx_buffer + HEADER_SIZE + body_len;
            const uint16_t crc = crc16(rx_buffer, HEADER_SIZE + body_len, korva::CRC16_INIT);
            FUZZ_CHECK(trailer[0] == korva::crc_high(crc) && trailer[1] == korva::crc_low(crc));
            FUZZ_CHECK(trailer[2] == MESSAGE_END);
        }
    }

private:
    void reenter_with_handed_data()
    {
        const auto size = input_.ConsumeIntegralInRange<size_t>(0, 300);
        const std::vector<uint8_t> data = input_.ConsumeBytes<uint8_t>(size);
        const auto len = input_.ConsumeIntegral<uint16_t>();
        if (!data.empty() && len >= korva::FRAME_TRAILER_SIZE && len <= data.size()) {
            handed_trailer_ = data.data() + len - korva::FRAME_TRAILER_SIZE;
        }
        // Any status may come back; the caller checks the state it leaves.
        static_cast<void>(handle_message_data(data.empty() ? nullptr : data.data(), data.size(), len));
        handed_trailer_ = nullptr;
    }

    uint8_t rx[KORVA_BUFFER_SIZE]{};
    uint8_t tx[KORVA_BUFFER_SIZE]{};
    FuzzedDataProvider& input_;
    bool reenter_;
    const uint8_t* handed_trailer_ = nullptr;
};

// Calls the listener until the input is spent; the receive state must be
// idle after every call (I2, SECURITY.md).
inline void run_listener(const uint8_t* data, size_t size, bool reenter)
{
    FuzzedDataProvider input(data, size);
    FuzzLink node(input, 14, reenter);
    while (input.remaining_bytes() > 0) {
        static_cast<void>(node.listener()); // any status; the state it leaves is what is checked
        FUZZ_CHECK(node.rx_flags == 0);
    }
}
