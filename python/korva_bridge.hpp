// The bridge between the engine's raw hooks and Python: py_korva_tramp owns
// the buffers and turns the hooks into vector and record hooks; PyKORVA
// forwards those to the methods a Python subclass defines.
#pragma once

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "engine/korva.hpp"
#include "korva_records.hpp"

// Attempts per piece for the sends Python starts with no attempts of their own.
constexpr uint8_t DEFAULT_ATTEMPTS = 5;

class py_korva_tramp : public Korva<korva_public_4bit_adr> {
public:
    explicit py_korva_tramp(uint8_t id) : Korva(rx_storage, tx_storage, id) {}
    // Python's holder deletes PyKORVA and LinkNode objects through this class.
    virtual ~py_korva_tramp() = default;

    // Hooks a Python subclass provides, under the names __rx_callback__,
    // __tx_callback__, __write__ and __read__.
    virtual void notify_rx(Korva_event_types message_type, Korva_Status_t status, pyKORVA_PUBLIC header) = 0;
    virtual void notify_tx(Korva_event_types message_type, Korva_Status_t status, pyKORVA_PUBLIC header) = 0;
    virtual Korva_Status_t write_bytes(std::vector<uint8_t> buffer, uint16_t len) = 0;
    virtual Korva_Pair read_bytes(uint16_t len) = 0;

    void rx_callback(uint8_t message_type, Korva_Status_t status, const uint8_t* frame) override
    {
        notify_rx(static_cast<Korva_event_types>(message_type), status, decode_header(frame));
    }

    void tx_callback(uint8_t message_type, Korva_Status_t status, const uint8_t* frame) override
    {
        notify_tx(static_cast<Korva_event_types>(message_type), status, decode_header(frame));
    }

    Korva_Status_t port_write(const uint8_t* data, uint16_t len) override
    {
        if (data == nullptr) {
            return write_bytes({}, 0);
        }
        return write_bytes(std::vector<uint8_t>(data, data + len), len);
    }

    // Never copies past the end of what the hook returned; a short read is
    // not a successful one.
    Korva_Status_t port_read(uint8_t* dst, uint16_t len) override
    {
        const Korva_Pair pair = read_bytes(len);
        const size_t got = std::min<size_t>(len, pair.vec.size());
        std::copy_n(pair.vec.begin(), got, dst);
        if (got < len && pair.status == KORVA_STATUS_SUCCESS) {
            return KORVA_STATUS_RX_ERROR;
        }
        return pair.status;
    }

    uint64_t port_available() override { return 0; }

    uint8_t tx_storage[KORVA_BUFFER_SIZE]{};
    uint8_t rx_storage[KORVA_BUFFER_SIZE]{};
    uint8_t default_attempts = DEFAULT_ATTEMPTS;
};

// The hook result checks report a result of the wrong type with one fixed
// text, and a None result as an empty RuntimeError, whatever the pybind11
// release in use words them as.
constexpr const char* HOOK_RESULT_CAST_ERROR =
    "Unable to cast Python instance to C++ type (compile in debug mode for details)";

template <class Hook>
auto checked_result(Hook&& hook) -> decltype(hook())
{
    try {
        return hook();
    } catch (const pybind11::reference_cast_error&) {
        // Left alone, pybind11 would take this for a failed overload match
        // of the method that started the operation.
        throw std::runtime_error("");
    } catch (const pybind11::cast_error&) {
        throw pybind11::cast_error(HOOK_RESULT_CAST_ERROR);
    }
}

class PyKORVA : public py_korva_tramp {
public:
    using py_korva_tramp::py_korva_tramp;
    using tramp = py_korva_tramp; // the class name the missing-override errors show

    // Each override macro takes the interpreter lock (gil_scoped_acquire)
    // before it looks at Python, so hooks may run on any thread.
    uint64_t port_available() override
    {
        return checked_result(
            [&]() -> uint64_t { PYBIND11_OVERRIDE_NAME(uint64_t, tramp, "__available__", port_available); });
    }

    void notify_rx(Korva_event_types message_type, Korva_Status_t status, pyKORVA_PUBLIC record) override
    {
        PYBIND11_OVERRIDE_PURE_NAME(void, tramp, "__rx_callback__", notify_rx, message_type, status, record);
    }

    void notify_tx(Korva_event_types message_type, Korva_Status_t status, pyKORVA_PUBLIC record) override
    {
        PYBIND11_OVERRIDE_PURE_NAME(void, tramp, "__tx_callback__", notify_tx, message_type, status, record);
    }

    Korva_Status_t write_bytes(std::vector<uint8_t> buffer, uint16_t len) override
    {
        return checked_result([&]() -> Korva_Status_t {
            PYBIND11_OVERRIDE_PURE_NAME(Korva_Status_t, tramp, "__write__", write_bytes, buffer, len);
        });
    }

    Korva_Pair read_bytes(uint16_t len) override
    {
        return checked_result(
            [&]() -> Korva_Pair { PYBIND11_OVERRIDE_PURE_NAME(Korva_Pair, tramp, "__read__", read_bytes, len); });
    }
};
