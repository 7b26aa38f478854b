// The sensor node, id 14, on the messages of sensor.toml: it indicates a
// reading to every node each period, takes its period from set_period
// writes (0 stops the readings) and answers get_status with a status. Its
// engine answers the reserved requests. The same code builds from
// sensor_rev1.toml, the schema as it was at revision 1, for the image that
// shows a newer host reading an older node.
#include "board.hpp"
#include "korva_port.hpp"
#include "sensor.korva.h"

namespace {

constexpr uint8_t NODE_ID = DEFAULT_ID_4BIT;
constexpr size_t LINE_CAPACITY = korva::MAX_FRAME_LENGTH;
constexpr unsigned long STALE_AFTER = board::TICKS_PER_SECOND / 10;
constexpr uint16_t FIRST_PERIOD = 250; // ms
// The status's last_error for a period beyond its max (unpack statuses are negative).
constexpr int8_t PERIOD_OUT_OF_RANGE = 1;

class SensorNode : public korva::fw::Port<LINE_CAPACITY> {
public:
    using Port::Port;

    void rx_callback(uint8_t message_type, Korva_Status_t status, const uint8_t* header) override
    {
        if (status != KORVA_STATUS_SUCCESS) {
            return;
        }
        const uint8_t sender = korva_public_4bit_adr::transmitter(header[1]);
        const uint8_t message_id = korva::message_id_of(header[2]);
        const uint8_t* body = header + sizeof(Korva_header);
        if (message_type == SENSOR_SET_PERIOD_TYPE && message_id == SENSOR_SET_PERIOD_ID) {
            take_period(body, header[0]);
        } else if (message_type == SENSOR_GET_STATUS_TYPE && message_id == SENSOR_GET_STATUS_ID) {
            answer_status(sender);
        }
    }

    // Indicates a reading once the period has passed since the last one.
    void tick(unsigned long now)
    {
        if (period_ == 0 || now - last_reading_ < period_) {
            return;
        }
        last_reading_ = now;
        sensor_reading_t reading;
        reading.seq = seq_;
        // No sensor on an emulated board: values that follow the count,
        // so that the host can tell each field from the others.
        reading.temperature = static_cast<int16_t>(2100 + seq_ % 50);
        reading.humidity = static_cast<uint16_t>(400 + seq_ % 100);
#if SENSOR_REVISION >= 2
        reading.battery = static_cast<uint16_t>(3700 - seq_ % 200);
#endif
        ++seq_;
        ++readings_;
        static_cast<void>(sensor_send(*this, PUBLIC_ID_4BIT, reading)); // the board's transmit cannot fail
    }

private:
    void take_period(const uint8_t* body, uint8_t len)
    {
        sensor_set_period_t write;
        const int unpacked = sensor_set_period_unpack(&write, body, len);
        if (unpacked < 0) {
            refuse(static_cast<int8_t>(unpacked));
        } else if (write.period > SENSOR_SET_PERIOD_PERIOD_MAX) {
            refuse(PERIOD_OUT_OF_RANGE);
        } else {
            period_ = write.period;
            ++writes_;
        }
    }

    void refuse(int8_t why)
    {
        ++rejected_;
        last_error_ = why;
    }

    void answer_status(uint8_t requester)
    {
        sensor_status_t status;
        status.fingerprint = SENSOR_FINGERPRINT;
        status.revision = SENSOR_REVISION;
        status.period = period_;
        status.writes = writes_;
        status.rejected = rejected_;
        status.last_error = last_error_;
#if SENSOR_REVISION >= 2
        status.readings = readings_;
#endif
        static_cast<void>(sensor_send(*this, requester, status));
    }

    uint16_t period_ = FIRST_PERIOD;
    unsigned long last_reading_ = 0;
    uint16_t seq_ = 0;
    uint32_t readings_ = 0;
    uint16_t writes_ = 0;
    uint16_t rejected_ = 0;
    int8_t last_error_ = 0;
};

uint8_t rx_buffer[KORVA_BUFFER_SIZE];
uint8_t tx_buffer[KORVA_BUFFER_SIZE];
SensorNode::Link link_buffer;
SensorNode node(NODE_ID, rx_buffer, tx_buffer, link_buffer);

} // namespace

int main()
{
    board::init();
    node.run(STALE_AFTER, [](unsigned long now) { node.tick(now); });
}
