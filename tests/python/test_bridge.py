import unittest

import KorvaPy
from KorvaPy import KORVA_PUBLIC
from korva_links import RecordingNode, frame_bytes, join

FIRST_FRAME = frame_bytes("FB 02 E3 14 01 02 F3 EF BF")
WRITE_TO_14 = frame_bytes("FB 02 3E 14 01 02 D7 C8 BF")
VERSION_REQUEST = frame_bytes("FB 00 3E FD 5A 01 BF")
VERSION_RESPONSE = frame_bytes("FB 04 E3 FE A4 86 01 00 48 5D BF")
CAST_ERROR = "Unable to cast Python instance to C++ type (compile in debug mode for details)"


def pair(vec, status=KorvaPy.KORVA_STATUS_SUCCESS):
    result = KorvaPy.Korva_Pair()
    result.vec = vec
    result.status = status
    return result


class SendTest(unittest.TestCase):
    def test_first_worked_frame_goes_out_in_one_call(self):
        node = RecordingNode(14)
        self.assertEqual(node.write(3, 5, [1, 2], 2), KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(node.writes, [(FIRST_FRAME, 9)])

    def test_only_write_defined(self):
        class WriteOnly(KORVA_PUBLIC):
            calls = []

            def __write__(self, buffer, length):
                self.calls.append((buffer, length))
                return KorvaPy.KORVA_STATUS_SUCCESS

        node = WriteOnly(14)
        self.assertEqual(node.write(3, 5, [1, 2], 2), KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(WriteOnly.calls, [(FIRST_FRAME, 9)])
        self.assertEqual(node.listener(), KorvaPy.KORVA_STATUS_DEFAULT)

    def test_failing_transport_gets_five_attempts(self):
        node = RecordingNode(14, write_status=KorvaPy.KORVA_STATUS_FAIL)
        self.assertEqual(node.write(3, 5, [1, 2], 2), KorvaPy.KORVA_STATUS_FAIL)
        self.assertEqual(len(node.writes), 5)

    def test_short_byte_list_is_refused_and_long_one_truncated(self):
        node = RecordingNode(14)
        self.assertEqual(node.write(3, 5, [1], 2), KorvaPy.KORVA_STATUS_FAIL)
        self.assertEqual(node.write_public(5, [], 1), KorvaPy.KORVA_STATUS_FAIL)
        self.assertEqual(node.writes, [])
        self.assertEqual(node.write(3, 5, [1, 2, 3, 4], 2), KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(node.written(), FIRST_FRAME)

    def test_streamed_send_and_short_push_leaving_the_frame_intact(self):
        node = RecordingNode(14)
        self.assertEqual(node.start_write_queue(KorvaPy.KV_INDICATE_EVENT, 3, 5, 3, 5),
                         KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(node.push_to_queue([1], 2), KorvaPy.KORVA_STATUS_FAIL)
        self.assertEqual(node.push_to_queue([], 0), KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(node.push_to_queue([1, 2], 2), KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(node.push_to_queue([3, 9], 1), KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(node.finalize_queue(5), KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(node.writes, [([0xFB], 1), ([0x03, 0xE3, 0x17], 3), ([], 0), ([1, 2], 2), ([3], 1),
                                       ([0x29, 0x23, 0xBF], 3)])

    def test_length_error_arrives_as_value_10(self):
        node = RecordingNode(14)
        node.set_fixed_packet_size(8)
        status = node.write(3, 5, [1, 2], 2)
        self.assertEqual(status.value, 10)
        self.assertEqual(KORVA_PUBLIC.resolve_status(status), "KORVA_MESSAGE_LENGTH_ERROR")
        self.assertEqual(node.writes, [])


class ReceiveTest(unittest.TestCase):
    def test_listener_delivers_a_decoded_record(self):
        node = RecordingNode(14)
        node.inbox = [0x00, 0x42] + WRITE_TO_14
        self.assertEqual(node.listener(), KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(node.read_sizes, [1, 1, 1, 3, 5])
        [(message_type, status, record)] = node.received
        self.assertIs(type(message_type), KorvaPy.Korva_event_types)
        self.assertIs(type(status), KorvaPy.Korva_Status_t)
        self.assertEqual(message_type, KorvaPy.KV_WRITE_EVENT)
        self.assertEqual(status, KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual((record.transmitter_id, record.receiver_id, record.message_id, record.data),
                         (3, 14, 5, [1, 2]))

    def test_corrupted_frame_is_notified_with_crc_error(self):
        node = RecordingNode(14)
        node.inbox = list(WRITE_TO_14)
        node.inbox[4] ^= 0x10
        self.assertEqual(node.listener(), KorvaPy.KORVA_STATUS_CRC_ERROR)
        self.assertEqual(node.received[0][1], KorvaPy.KORVA_STATUS_CRC_ERROR)

    def test_reserved_request_is_answered_inside_the_listener_call(self):
        node = RecordingNode(14)
        node.inbox = list(VERSION_REQUEST)
        self.assertEqual(node.listener(), KorvaPy.KORVA_STATUS_DEFAULT)
        self.assertEqual(node.writes, [(VERSION_RESPONSE, 11)])
        self.assertEqual(node.received, [])

    def test_short_reads_never_succeed(self):
        class ShortReader(RecordingNode):
            def __init__(self, status):
                super().__init__(14)
                self.status = status

            def __read__(self, length):
                got = super().__read__(length)
                if length == 5:
                    return pair(got.vec[:3], self.status)
                return got

        for status, expected in ((KorvaPy.KORVA_STATUS_SUCCESS, KorvaPy.KORVA_STATUS_RX_ERROR),
                                 (KorvaPy.KORVA_STATUS_TIMEOUT, KorvaPy.KORVA_STATUS_TIMEOUT)):
            node = ShortReader(status)
            node.inbox = list(WRITE_TO_14)
            self.assertEqual(node.listener(), expected)
            self.assertEqual(node.received, [])

    def test_long_read_uses_the_first_bytes(self):
        class LongReader(RecordingNode):
            def __read__(self, length):
                got = super().__read__(length)
                return pair(got.vec + [0x55] * 10)

        node = LongReader(14)
        node.inbox = list(WRITE_TO_14)
        self.assertEqual(node.listener(), KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(node.received[0][2].data, [1, 2])

    def test_handle_message_data_from_the_read_hook(self):
        class Handing(RecordingNode):
            handled = None

            def __read__(self, length):
                if length == 5:
                    body = self.inbox[:length]
                    del self.inbox[:length]
                    self.handled = self.handle_message_data(body, length)
                    return pair([0] * length)
                return super().__read__(length)

        node = Handing(14)
        node.inbox = list(WRITE_TO_14)
        result = node.listener()
        self.assertEqual(node.handled, KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(len(node.received), 1)
        self.assertEqual(node.received[0][2].data, [1, 2])
        self.assertEqual(result, KorvaPy.KORVA_STATUS_END_BYTE_ERROR)

    def test_handle_message_data_length_guard(self):
        node = RecordingNode(14)
        self.assertEqual(node.handle_message_data([], 5), KorvaPy.KORVA_STATUS_NULL_MESSAGE)
        self.assertEqual(node.handle_message_data([1, 0xBF], 0).value, 10)
        self.assertEqual(node.handle_message_data([1, 0xBF], 3).value, 10)
        self.assertEqual(node.handle_message_data([1, 2, 0xBF], 3), KorvaPy.KORVA_STATUS_HEADER_LENGTH_ERROR)


class HookFailureTest(unittest.TestCase):
    def test_missing_overrides_name_the_hook(self):
        plain = KORVA_PUBLIC(14)
        cases = [
            (lambda: plain.write(3, 5, [1], 1), "__write__"),
            (lambda: plain.__read__(4), "__read__"),
            (lambda: plain.__rx_callback__(KorvaPy.KV_WRITE_EVENT, KorvaPy.KORVA_STATUS_SUCCESS,
                                           KorvaPy.pyKORVA_PUBLIC()), "__rx_callback__"),
            (lambda: plain.__tx_callback__(KorvaPy.KV_WRITE_EVENT, KorvaPy.KORVA_STATUS_SUCCESS,
                                           KorvaPy.pyKORVA_PUBLIC()), "__tx_callback__"),
        ]
        for call, hook in cases:
            with self.assertRaises(RuntimeError) as caught:
                call()
            self.assertEqual(str(caught.exception), 'Tried to call pure virtual function "tramp::%s"' % hook)

    def test_listener_without_read_or_callback(self):
        class NoRead(KORVA_PUBLIC):
            def __available__(self):
                return 10

        with self.assertRaisesRegex(RuntimeError, r'"tramp::__read__"'):
            NoRead(14).listener()

        class NoCallback(RecordingNode):
            __rx_callback__ = KORVA_PUBLIC.__rx_callback__

        node = NoCallback(14)
        node.inbox = list(WRITE_TO_14)
        with self.assertRaisesRegex(RuntimeError, r'"tramp::__rx_callback__"'):
            node.listener()

    def test_wrong_result_types(self):
        def node_with(**hooks):
            node = type("Custom", (RecordingNode,), hooks)(14)
            node.inbox = list(WRITE_TO_14)
            return node

        cases = [
            (node_with(__write__=lambda self, b, n: 1), lambda n: n.write(3, 5, [1], 1)),
            (node_with(__read__=lambda self, n: (KorvaPy.KORVA_STATUS_SUCCESS, [0xFB])), lambda n: n.listener()),
            (node_with(__available__=lambda self: -1), lambda n: n.listener()),
            (node_with(__available__=lambda self: 2 ** 64), lambda n: n.listener()),
            (node_with(__available__=lambda self: 5.0), lambda n: n.listener()),
            (node_with(__available__=lambda self: "5"), lambda n: n.listener()),
        ]
        for index, (node, call) in enumerate(cases):
            with self.subTest(case=index):
                with self.assertRaises(RuntimeError) as caught:
                    call(node)
                self.assertEqual(str(caught.exception), CAST_ERROR)

    def test_none_results_give_an_empty_runtime_error(self):
        for hooks, call in (({"__write__": lambda self, b, n: None}, lambda n: n.write(3, 5, [1], 1)),
                            ({"__read__": lambda self, n: None}, lambda n: n.listener())):
            node = type("Custom", (RecordingNode,), hooks)(14)
            node.inbox = list(WRITE_TO_14)
            with self.assertRaises(RuntimeError) as caught:
                call(node)
            self.assertEqual(str(caught.exception), "")

    def test_non_callable_hook_and_raising_hooks(self):
        class NotCallable(RecordingNode):
            __write__ = 5

        with self.assertRaises(TypeError):
            NotCallable(14).write(3, 5, [1], 1)

        class Raising(RecordingNode):
            def __write__(self, buffer, length):
                raise ValueError("link down")

            def __rx_callback__(self, message_type, status, header):
                raise KeyError("rejected")

        node = Raising(14)
        with self.assertRaises(ValueError) as caught:
            node.write(3, 5, [1], 1)
        self.assertEqual(str(caught.exception), "link down")
        node.inbox = list(WRITE_TO_14)
        with self.assertRaises(KeyError):
            node.listener()
        node.inbox = list(WRITE_TO_14)
        with self.assertRaises(KeyError):
            node.listener()

    def test_exception_in_a_body_read_leaves_the_port_busy_until_the_next_header(self):
        class FailingBody(RecordingNode):
            fail = True

            def __read__(self, length):
                if self.fail and length == 4:
                    raise OSError("line dropped")
                return super().__read__(length)

        node = FailingBody(14)
        node.inbox = frame_bytes("FB 01 35 04 AA 81 B3 BF")  # for node 5
        with self.assertRaises(OSError):
            node.listener()
        self.assertEqual(node.write(3, 5, [1], 1), KorvaPy.KORVA_STATUS_PORT_BUSY)
        node.fail = False
        node.inbox = list(WRITE_TO_14)
        self.assertEqual(node.listener(), KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(node.write(3, 5, [1], 1), KorvaPy.KORVA_STATUS_SUCCESS)

    def test_read_override_with_a_single_byte(self):
        class OneByte(KORVA_PUBLIC):
            def __read__(self, length):
                return pair([0xFB])

        self.assertEqual(OneByte(1).__read__(1).vec, [0xFB])


class LoopBackTest(unittest.TestCase):
    def test_two_nodes_exchange_messages(self):
        node3, node14 = RecordingNode(3), RecordingNode(14)
        join(node3, node14)

        self.assertEqual(node3.write(14, 1, [0xFB, 0xBF, 7], 3), KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(node14.listener(), KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(node14.write_public(2, [9], 1), KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(node3.listener(), KorvaPy.KORVA_STATUS_SUCCESS)
        node14.start_write_queue(KorvaPy.KV_RESPONSE_EVENT, 3, 4, 255, 1)
        for start in range(0, 255, 100):
            piece = list(range(start, min(start + 100, 255)))
            node14.push_to_queue(piece, len(piece))
        self.assertEqual(node14.finalize_queue(1), KorvaPy.KORVA_STATUS_SUCCESS)
        self.assertEqual(node3.listener(), KorvaPy.KORVA_STATUS_SUCCESS)

        node3.__write__(VERSION_REQUEST, len(VERSION_REQUEST))  # reserved ids go on the wire raw
        self.assertEqual(node14.listener(), KorvaPy.KORVA_STATUS_DEFAULT)
        self.assertEqual(node3.listener(), KorvaPy.KORVA_STATUS_SUCCESS)

        self.assertEqual([r.data for _, _, r in node14.received], [[0xFB, 0xBF, 7]])
        summary = [(t, r.transmitter_id, r.receiver_id, r.message_id, r.data) for t, _, r in node3.received]
        self.assertEqual(summary[0], (KorvaPy.KV_WRITE_EVENT, 14, 15, 2, [9]))
        self.assertEqual(summary[1], (KorvaPy.KV_RESPONSE_EVENT, 14, 3, 4, list(range(255))))
        self.assertEqual(summary[2][:4], (KorvaPy.KV_RESPONSE_EVENT, 14, 3, 63))
        self.assertEqual(int.from_bytes(bytes(summary[2][4]), "little"), 100004)
        self.assertEqual(node3.inbox + node14.inbox, [])


if __name__ == "__main__":
    unittest.main()
