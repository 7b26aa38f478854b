import pickle
import unittest

import KorvaPy
from KorvaPy import KORVA_PUBLIC


class EnumerationTest(unittest.TestCase):
    def test_members_values_and_module_exports(self):
        expected = {
            KorvaPy.Korva_Status_t: [
                ("KORVA_STATUS_DEFAULT", 0), ("KORVA_STATUS_SUCCESS", 1), ("KORVA_STATUS_PORT_BUSY", 2),
                ("KORVA_STATUS_TIMEOUT", 3), ("KORVA_STATUS_FAIL", 4), ("KORVA_STATUS_RX_ERROR", 5),
                ("KORVA_STATUS_CRC_ERROR", 6), ("KORVA_STATUS_START_BYTE_ERROR", 7),
                ("KORVA_STATUS_END_BYTE_ERROR", 8), ("KORVA_STATUS_HEADER_LENGTH_ERROR", 9),
                ("KORVA_STATUS_MESSAGE_ID_ERROR", 11), ("KORVA_STATUS_NULL_MESSAGE", 12)],
            KorvaPy.Korva_event_types: [
                ("KV_WRITE_EVENT", 0), ("KV_REQUEST_EVENT", 1), ("KV_RESPONSE_EVENT", 2),
                ("KV_INDICATE_EVENT", 3)],
            KorvaPy.Korva_headers: [
                ("MESSAGE_START", 251), ("MESSAGE_END", 191), ("PUBLIC_ID_8BIT", 255),
                ("DEFAULT_ID_8BIT", 254), ("PUBLIC_ID_4BIT", 15), ("DEFAULT_ID_4BIT", 14)],
        }
        for enum, members in expected.items():
            self.assertEqual([(name, m.value) for name, m in enum.__members__.items()], members)
            for name, value in members:
                self.assertEqual(getattr(KorvaPy, name), value)
                self.assertIs(type(getattr(KorvaPy, name)), enum)
        self.assertEqual(int(KorvaPy.MESSAGE_START), 251)
        self.assertTrue(KorvaPy.DEFAULT_ID_4BIT == 14)

    def test_value_10_has_no_member_and_256_does_not_convert(self):
        ten = KorvaPy.Korva_Status_t(10)
        self.assertEqual(ten.value, 10)
        self.assertNotIn(ten, list(KorvaPy.Korva_Status_t.__members__.values()))
        self.assertEqual(KORVA_PUBLIC.resolve_status(ten), "KORVA_MESSAGE_LENGTH_ERROR")
        with self.assertRaises(TypeError):
            KorvaPy.Korva_Status_t(256)

    def test_no_ordering_but_hashing_and_pickling(self):
        with self.assertRaises(TypeError):
            KorvaPy.KORVA_STATUS_SUCCESS < KorvaPy.KORVA_STATUS_FAIL
        self.assertEqual(hash(KorvaPy.Korva_Status_t(6)), hash(KorvaPy.KORVA_STATUS_CRC_ERROR))
        self.assertEqual(pickle.loads(pickle.dumps(KorvaPy.KV_INDICATE_EVENT)), KorvaPy.KV_INDICATE_EVENT)


class EngineClassTest(unittest.TestCase):
    def test_constants_and_queries(self):
        node = KORVA_PUBLIC(1)
        for owner in (KORVA_PUBLIC, node, type("Sub", (KORVA_PUBLIC,), {})):
            self.assertEqual(owner.HEADER_SIZE, 4)
            self.assertEqual(owner.MAX_MSG_LENGTH, 255)
        with self.assertRaises(AttributeError):
            KORVA_PUBLIC.HEADER_SIZE = 5
        self.assertEqual(node.GET_KORVA_VERSION(), 100004)
        self.assertEqual(node.get_rx_buffer_size(), 1024)
        self.assertEqual(node.__available__(), 0)

    def test_status_helpers(self):
        node = KORVA_PUBLIC(1)
        self.assertTrue(node.is_crc_failed(KorvaPy.KORVA_STATUS_CRC_ERROR))
        self.assertFalse(node.is_packet_broken(KorvaPy.KORVA_STATUS_TIMEOUT))
        self.assertTrue(node.is_packet_broken(KorvaPy.KORVA_STATUS_NULL_MESSAGE))
        self.assertEqual(KORVA_PUBLIC.resolve_status(KorvaPy.KORVA_STATUS_CRC_ERROR), "KORVA_CRC_ERROR")
        self.assertEqual(KORVA_PUBLIC.resolve_status(KorvaPy.Korva_Status_t(13)), "KORVA_UNKNOWN_STATUS")
        for call in (lambda: node.is_crc_failed(6), lambda: KORVA_PUBLIC.resolve_status(1)):
            with self.assertRaises(TypeError):
                call()

    def test_docstrings(self):
        self.assertIn("(std::vector<uint8_t> rx_buffer, uint16_t rx_buf_size, std::vector<uint8_t> tx_buffer, "
                      "uint16_t tx_buf_size, uint8_t id) -> KORVA_PUBLIC", KORVA_PUBLIC.__init__.__doc__)
        self.assertIn("(Korva_message_types t, uint8_t receiver_id, uint8_t message_id, uint8_t len) "
                      "-> Korva_Status_T", KORVA_PUBLIC.start_write_queue.__doc__)
        self.assertIn("(uint8_t id) -> void", KORVA_PUBLIC.assign_new_id.__doc__)

    def test_constructor_ranges_and_own_id(self):
        with self.assertRaises(TypeError):
            KORVA_PUBLIC(300)
        with self.assertRaises(TypeError):
            KORVA_PUBLIC(-1)

        class Probe(KORVA_PUBLIC):
            def __write__(self, buffer, length):
                self.frame = buffer
                return KorvaPy.KORVA_STATUS_SUCCESS

        node = Probe(20)
        node.write(3, 5, [], 0)
        self.assertEqual(node.frame[2], 0xF3)
        node.assign_new_id(17)
        node.write(3, 5, [], 0)
        self.assertEqual(node.frame[2], 0x13)

    def test_subclass_must_call_the_base_constructor(self):
        class Forgetful(KORVA_PUBLIC):
            def __init__(self):
                pass

        with self.assertRaisesRegex(TypeError, r"__init__\(\) must be called when overriding __init__"):
            Forgetful()


class ArgumentConversionTest(unittest.TestCase):
    class Counting(KORVA_PUBLIC):
        def __init__(self):
            super().__init__(14)
            self.calls = 0

        def __write__(self, buffer, length):
            self.calls += 1
            return KorvaPy.KORVA_STATUS_SUCCESS

    def test_bad_arguments_raise_type_error_and_send_nothing(self):
        node = self.Counting()
        bad_calls = [
            lambda: node.write(3, 5, [1, 256], 2),
            lambda: node.write(256, 5, [1], 1),
            lambda: node.write(-1, 5, [1], 1),
            lambda: node.write(3, 5.0, [1], 1),
            lambda: node.write(3, 5, b"\x01", 1),
            lambda: node.write(receiver_id=3, message_id=5, buffer=[1], len=1),
            lambda: node.write_public(5, [1], 256),
            lambda: node.start_write_queue(3, 3, 5, 1, 5),
            lambda: node.start_write_queue(KorvaPy.KV_WRITE_EVENT, 3, 5, 1, 256),
            lambda: node.set_fixed_packet_size(65536),
            lambda: node.finalize_queue(-1),
        ]
        for index, call in enumerate(bad_calls):
            with self.subTest(call=index), self.assertRaises(TypeError):
                call()
        self.assertEqual(node.calls, 0)
        self.assertEqual(node.write(3, 5, bytearray([1, 2]), 2), KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(node.calls, 1)


if __name__ == "__main__":
    unittest.main()
