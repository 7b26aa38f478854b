// The send helper of the generated header, compiled as C++17 and used with
// the engine itself: whatever it sends is captured as the frame the engine
// wrote, for harness.c to compare with the packed body.
#include <string.h>

#include "engine/korva.hpp"
#include "harness_send.h"

namespace {

constexpr uint8_t HARNESS_ID = 3;

class CapturingEngine : public Korva<korva_public_4bit_adr> {
public:
    CapturingEngine() : Korva(rx, tx, HARNESS_ID) {}

    Korva_Status_t port_write(const uint8_t* data, uint16_t len) override
    {
        if (written + len > sizeof frame) {
            return KORVA_STATUS_FAIL;
        }
        memcpy(frame + written, data, len);
        written = static_cast<uint16_t>(written + len);
        return KORVA_STATUS_SUCCESS;
    }
    Korva_Status_t port_read(uint8_t*, uint16_t) override { return KORVA_STATUS_FAIL; }
    uint64_t port_available() override { return 0; }

    uint8_t frame[HARNESS_FRAME_ROOM]{};
    uint16_t written = 0;

private:
    uint8_t rx[KORVA_BUFFER_SIZE]{};
    uint8_t tx[KORVA_BUFFER_SIZE]{};
};

template <class Message>
uint16_t send_captured(const Message& m, uint8_t* frame)
{
    CapturingEngine engine;
    if (fixture_send(engine, HARNESS_RECEIVER, m) != KORVA_STATUS_SUCCESS) {
        return 0;
    }
    memcpy(frame, engine.frame, engine.written);
    return engine.written;
}

} // namespace

uint16_t harness_send_fixture_status(const fixture_status_t* m, uint8_t* frame) { return send_captured(*m, frame); }
uint16_t harness_send_fixture_every_type(const fixture_every_type_t* m, uint8_t* frame)
{
    return send_captured(*m, frame);
}
uint16_t harness_send_fixture_get_config(const fixture_get_config_t* m, uint8_t* frame)
{
    return send_captured(*m, frame);
}
uint16_t harness_send_fixture_config(const fixture_config_t* m, uint8_t* frame) { return send_captured(*m, frame); }
uint16_t harness_send_fixture_note(const fixture_note_t* m, uint8_t* frame) { return send_captured(*m, frame); }
uint16_t harness_send_fixture_wide(const fixture_wide_t* m, uint8_t* frame) { return send_captured(*m, frame); }
