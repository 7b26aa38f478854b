// Scripted transports for engine tests: every port_write call is recorded,
// write results follow a script, and reads drain a byte queue whose read
// results can be scripted as well.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/korva.hpp"

using Bytes = std::vector<uint8_t>;

// Lets GoogleTest name statuses in failure messages instead of printing raw bytes.
inline void PrintTo(Korva_Status_t status, std::ostream* out) { *out << resolve_status(status); }
using Engine = Korva<korva_public_4bit_adr>;

inline std::string hex(const Bytes& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        if (!out.empty()) {
            out += ' ';
        }
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

inline Bytes concat(const std::vector<Bytes>& pieces)
{
    Bytes all;
    for (const Bytes& piece : pieces) {
        all.insert(all.end(), piece.begin(), piece.end());
    }
    return all;
}

struct Notification {
    uint8_t message_type;
    Korva_Status_t status;
    Bytes header_and_body; // len, adr, id, then the body
};

class ScriptedNode : public Engine {
public:
    explicit ScriptedNode(uint8_t id, bool buffered = true) : Engine(rx_storage, buffered ? tx_storage : nullptr, id) {}

    Korva_Status_t port_write(const uint8_t* data, uint16_t len) override
    {
        writes.emplace_back(data, data + len);
        if (peer != nullptr) {
            peer->feed(writes.back());
        }
        if (on_write) {
            on_write();
        }
        if (write_script.empty()) {
            return KORVA_STATUS_SUCCESS;
        }
        const Korva_Status_t status = write_script.front();
        write_script.pop_front();
        return status;
    }

    Korva_Status_t port_read(uint8_t* dst, uint16_t len) override
    {
        read_sizes.push_back(len);
        if (on_read) {
            on_read(len);
        }
        Korva_Status_t status = KORVA_STATUS_SUCCESS;
        if (!read_script.empty()) {
            status = read_script.front();
            read_script.pop_front();
        }
        for (uint16_t i = 0; i < len && !incoming.empty(); ++i) {
            dst[i] = incoming.front();
            incoming.pop_front();
        }
        return status;
    }

    uint64_t port_available() override
    {
        return available_override >= 0 ? static_cast<uint64_t>(available_override) : incoming.size();
    }

    void rx_callback(uint8_t message_type, Korva_Status_t status, const uint8_t* frame) override
    {
        notifications.push_back({message_type, status, Bytes(frame, frame + 3 + frame[0])});
    }

    void feed(const Bytes& bytes) { incoming.insert(incoming.end(), bytes.begin(), bytes.end()); }

    Bytes written() const { return concat(writes); }

    uint8_t rx_storage[KORVA_BUFFER_SIZE]{};
    uint8_t tx_storage[KORVA_BUFFER_SIZE]{};
    std::vector<Bytes> writes;
    std::deque<Korva_Status_t> write_script;
    std::deque<uint8_t> incoming;
    std::deque<Korva_Status_t> read_script;
    std::vector<uint16_t> read_sizes;
    std::vector<Notification> notifications;
    std::function<void()> on_write;
    std::function<void(uint16_t)> on_read;
    int64_t available_override = -1;
    ScriptedNode* peer = nullptr; // loop-back: what this node writes, the peer reads
};

inline void join(ScriptedNode& a, ScriptedNode& b)
{
    a.peer = &b;
    b.peer = &a;
}
