// The KorvaPy extension module: enumerations, records and the engine class.
#include <cstdint>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "korva_bridge.hpp"
#include "korva_records.hpp"

namespace py = pybind11;

namespace {

void register_enumerations(py::module_& m)
{
    py::enum_<Korva_Status_t>(m, "Korva_Status_t")
        .value("KORVA_STATUS_DEFAULT", KORVA_STATUS_DEFAULT)
        .value("KORVA_STATUS_SUCCESS", KORVA_STATUS_SUCCESS)
        .value("KORVA_STATUS_PORT_BUSY", KORVA_STATUS_PORT_BUSY)
        .value("KORVA_STATUS_TIMEOUT", KORVA_STATUS_TIMEOUT)
        .value("KORVA_STATUS_FAIL", KORVA_STATUS_FAIL)
        .value("KORVA_STATUS_RX_ERROR", KORVA_STATUS_RX_ERROR)
        .value("KORVA_STATUS_CRC_ERROR", KORVA_STATUS_CRC_ERROR)
        .value("KORVA_STATUS_START_BYTE_ERROR", KORVA_STATUS_START_BYTE_ERROR)
        .value("KORVA_STATUS_END_BYTE_ERROR", KORVA_STATUS_END_BYTE_ERROR)
        .value("KORVA_STATUS_HEADER_LENGTH_ERROR", KORVA_STATUS_HEADER_LENGTH_ERROR)
        .value("KORVA_STATUS_MESSAGE_ID_ERROR", KORVA_STATUS_MESSAGE_ID_ERROR)
        .value("KORVA_STATUS_NULL_MESSAGE", KORVA_STATUS_NULL_MESSAGE)
        .export_values();

    py::enum_<Korva_event_types>(m, "Korva_event_types")
        .value("KV_WRITE_EVENT", KV_WRITE_EVENT)
        .value("KV_REQUEST_EVENT", KV_REQUEST_EVENT)
        .value("KV_RESPONSE_EVENT", KV_RESPONSE_EVENT)
        .value("KV_INDICATE_EVENT", KV_INDICATE_EVENT)
        .export_values();

    py::enum_<Korva_headers>(m, "Korva_headers")
        .value("MESSAGE_START", MESSAGE_START)
        .value("MESSAGE_END", MESSAGE_END)
        .value("PUBLIC_ID_8BIT", PUBLIC_ID_8BIT)
        .value("DEFAULT_ID_8BIT", DEFAULT_ID_8BIT)
        .value("PUBLIC_ID_4BIT", PUBLIC_ID_4BIT)
        .value("DEFAULT_ID_4BIT", DEFAULT_ID_4BIT)
        .export_values();
}

void register_records(py::module_& m)
{
    py::class_<pyKORVA_PUBLIC>(m, "pyKORVA_PUBLIC")
        .def(py::init<>())
        .def_readwrite("data_len", &pyKORVA_PUBLIC::data_len)
        .def_readwrite("receiver_id", &pyKORVA_PUBLIC::receiver_id)
        .def_readwrite("transmitter_id", &pyKORVA_PUBLIC::transmitter_id)
        .def_readwrite("message_type", &pyKORVA_PUBLIC::message_type)
        .def_readwrite("message_id", &pyKORVA_PUBLIC::message_id)
        .def_readwrite("data", &pyKORVA_PUBLIC::data);

    py::class_<Korva_Pair>(m, "Korva_Pair")
        .def(py::init<>())
        .def_readwrite("status", &Korva_Pair::status)
        .def_readwrite("vec", &Korva_Pair::vec);
}

void register_engine(py::module_& m)
{
    using Engine = py_korva_tramp;
    py::class_<Engine, PyKORVA>(m, "KORVA_PUBLIC")
        .def(py::init<uint8_t>(),
             "(std::vector<uint8_t> rx_buffer, uint16_t rx_buf_size, std::vector<uint8_t> tx_buffer, "
             "uint16_t tx_buf_size, uint8_t id) -> KORVA_PUBLIC")
        .def("__rx_callback__", &Engine::notify_rx)
        .def("__tx_callback__", &Engine::notify_tx)
        .def("__write__", &Engine::write_bytes)
        .def("__read__", &Engine::read_bytes)
        .def("__available__", &Engine::port_available)
        .def("handle_message_data",
             [](Engine& self, const std::vector<uint8_t>& data, uint16_t len) {
                 return self.handle_message_data(data.empty() ? nullptr : data.data(), data.size(), len);
             })
        .def("push_to_queue",
             [](Engine& self, const std::vector<uint8_t>& data, uint8_t len) {
                 return self.push_to_queue(payload_of(data, len), len, self.default_attempts);
             })
        .def("finalize_queue", &Engine::finalize_queue)
        .def("set_fixed_packet_size", &Engine::set_fixed_packet_size)
        .def("GET_KORVA_VERSION", &Engine::GET_KORVA_VERSION)
        .def("get_packet_data_length", [](Engine&, pyKORVA_PUBLIC header) { return header.data_len; })
        .def("listener", &Engine::listener)
        .def("is_packet_broken", &Engine::is_packet_broken)
        .def("is_crc_failed", &Engine::is_crc_failed)
        .def("get_rx_buffer_size", &Engine::get_rx_buffer_size)
        .def_static("resolve_status", &resolve_status)
        .def_property_readonly_static("HEADER_SIZE", [](const py::object&) { return HEADER_SIZE; })
        .def_property_readonly_static("MAX_MSG_LENGTH", [](const py::object&) { return MAX_MSG_LENGTH; })
        .def(
            "write",
            [](Engine& self, uint8_t receiver_id, uint8_t message_id, const std::vector<uint8_t>& buffer, uint8_t len) {
                return self.write(receiver_id, message_id, payload_of(buffer, len), len, self.default_attempts);
            },
            "(uint8_t receiver_id, uint8_t message_id, std::vector<uint8_t> buffer, uint8_t len) -> "
            "Korva_Status_t")
        .def("start_write_queue", &Engine::start_write_queue,
             "(Korva_message_types t, uint8_t receiver_id, uint8_t message_id, uint8_t len) -> Korva_Status_T")
        .def(
            "write_public",
            [](Engine& self, uint8_t message_id, const std::vector<uint8_t>& buffer, uint8_t len) {
                return self.write_public(message_id, payload_of(buffer, len), len, self.default_attempts);
            },
            "(uint8_t message_id, std::vector<uint8_t> buffer, uint8_t len) -> Korva_Status_t")
        .def("assign_new_id", &Engine::assign_new_id, "(uint8_t id) -> void");
}

} // namespace

PYBIND11_MODULE(KorvaPy, m)
{
    register_enumerations(m);
    register_records(m);
    register_engine(m);
}
