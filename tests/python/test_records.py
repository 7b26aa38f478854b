import unittest

import KorvaPy
from korva_links import RecordingNode, frame_bytes


class HeaderRecordTest(unittest.TestCase):
    def test_defaults(self):
        record = KorvaPy.pyKORVA_PUBLIC()
        for field in ("data_len", "receiver_id", "transmitter_id", "message_type", "message_id"):
            self.assertEqual(getattr(record, field), 0, field)
        self.assertEqual(record.data, [])

    def test_data_reads_are_copies_and_fields_are_independent(self):
        record = KorvaPy.pyKORVA_PUBLIC()
        record.data.append(1)
        self.assertEqual(record.data, [])
        record.data = [1, 2, 3]
        self.assertEqual(record.data, [1, 2, 3])
        self.assertEqual(record.data_len, 0)
        record.data = bytearray(b"ab")
        self.assertEqual(record.data, [97, 98])
        record.receiver_id = 200
        self.assertEqual(record.receiver_id, 200)

    def test_bad_assignments_raise_and_keep_the_field(self):
        record = KorvaPy.pyKORVA_PUBLIC()
        record.message_id = 7
        record.data = [5]
        for field, value in (("message_id", 256), ("message_id", -1), ("message_id", 1.0),
                             ("data", b"ab"), ("data", "ab"), ("data", [256])):
            with self.subTest(field=field, value=value), self.assertRaises(TypeError):
                setattr(record, field, value)
        self.assertEqual(record.message_id, 7)
        self.assertEqual(record.data, [5])

    def test_packet_data_length_is_the_length_byte_only(self):
        record = KorvaPy.pyKORVA_PUBLIC()
        record.data_len = 9
        record.data = [1]
        self.assertEqual(KorvaPy.KORVA_PUBLIC(1).get_packet_data_length(record), 9)


class DecodingTest(unittest.TestCase):
    def receive(self, node_id, text):
        node = RecordingNode(node_id)
        node.inbox = frame_bytes(text)
        self.assertEqual(node.listener(), KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(len(node.received), 1)
        return node.received[0][2]

    def test_write_header(self):
        record = self.receive(3, "FB 02 E3 14 01 02 F3 EF BF")
        self.assertEqual((record.data_len, record.receiver_id, record.transmitter_id,
                          record.message_type, record.message_id, record.data),
                         (2, 3, 14, 0, 5, [1, 2]))

    def test_request_header_with_empty_body(self):
        record = self.receive(14, "FB 00 3E E5 5A 51 BF")
        self.assertEqual((record.data_len, record.receiver_id, record.transmitter_id,
                          record.message_type, record.message_id, record.data),
                         (0, 14, 3, 1, 57, []))

    def test_padding_is_delivered_as_data(self):
        record = self.receive(3, "FB 05 E3 14 01 02 00 00 00 1E E2 BF")
        self.assertEqual(record.data_len, 5)
        self.assertEqual(record.data, [1, 2, 0, 0, 0])


class PairTest(unittest.TestCase):
    def test_defaults_and_status_typing(self):
        pair = KorvaPy.Korva_Pair()
        self.assertEqual(pair.status, KorvaPy.KORVA_STATUS_DEFAULT)
        self.assertEqual(pair.vec, [])
        with self.assertRaises(TypeError):
            pair.status = 1
        pair.status = KorvaPy.KORVA_STATUS_SUCCESS
        self.assertEqual(pair.status, 1)

    def test_status_refers_to_the_record(self):
        pair = KorvaPy.Korva_Pair()
        status = pair.status
        pair.status = KorvaPy.KORVA_STATUS_TIMEOUT
        self.assertEqual(status, KorvaPy.KORVA_STATUS_TIMEOUT)
        del pair
        self.assertEqual(status.value, 3)


if __name__ == "__main__":
    unittest.main()
