"""Matching replies and messages, and the mailbox that hands them out."""

import concurrent.futures
import threading
import unittest

import KorvaPy

from korva import frame
from korva.messages import Mailbox, Message, reply_to, selected

OK = KorvaPy.KORVA_STATUS_SUCCESS
DAMAGED = KorvaPy.KORVA_STATUS_CRC_ERROR


def message(sender=14, message_type=frame.RESPONSE, message_id=6, status=OK, data=b"ok"):
    return Message(sender, 3, message_type, message_id, data, status)


class MatchingTest(unittest.TestCase):
    def test_a_reply_is_an_intact_response_with_the_id_from_the_asked_node(self):
        for name, receiver, candidate, taken in (
                ("the reply", 14, message(), True),
                ("another sender", 14, message(sender=9), False),
                ("another id", 14, message(message_id=7), False),
                ("a write, not a response", 14, message(message_type=frame.WRITE), False),
                ("a request", 14, message(message_type=frame.REQUEST), False),
                ("damaged", 14, message(status=DAMAGED), False),
                ("any sender answers the public id", frame.PUBLIC_ID, message(sender=9), True),
                ("the public id still wants a response", frame.PUBLIC_ID, message(message_type=frame.INDICATE),
                 False),
                ("and the same id", frame.PUBLIC_ID, message(message_id=5), False)):
            with self.subTest(name):
                self.assertIs(reply_to(receiver, 6)(candidate), taken)

    def test_selection_by_sender_id_and_type(self):
        for name, criteria, candidate, taken in (
                ("anything", {}, message(), True),
                ("sender", {"transmitter_id": 14}, message(sender=9), False),
                ("id", {"message_id": 6}, message(), True),
                ("type", {"message_type": frame.WRITE}, message(), False),
                ("type as the engine's enumeration", {"message_type": KorvaPy.KV_RESPONSE_EVENT}, message(), True),
                ("all three", {"transmitter_id": 14, "message_id": 6, "message_type": frame.RESPONSE}, message(),
                 True)):
            with self.subTest(name):
                self.assertIs(selected(**criteria)(candidate), taken)


class MailboxTest(unittest.TestCase):
    def test_the_oldest_matching_waiter_gets_the_message_once(self):
        mailbox = Mailbox()
        first = mailbox.waiter(selected(message_id=6))
        second = mailbox.waiter(selected(message_id=6))
        self.assertTrue(mailbox.claim(message()))
        self.assertTrue(mailbox.claim(message(data=b"second")))
        self.assertFalse(mailbox.claim(message(data=b"third")), "both waiters are served")
        self.assertEqual((first.result(0).data, second.result(0).data), (b"ok", b"second"))
        self.assertEqual(mailbox.unmatched_responses, 1)

    def test_unclaimed_messages_are_counted_and_kept_in_order(self):
        mailbox = Mailbox()
        kept = []
        mailbox.on_kept = lambda: kept.append(True)
        self.assertFalse(mailbox.claim(message(message_type=frame.WRITE)))
        self.assertEqual(mailbox.unmatched_responses, 0, "only responses count as unmatched")
        for message_id in (1, 2, 1):
            mailbox.keep(message(message_id=message_id))
        self.assertEqual(len(kept), 3)
        self.assertEqual(mailbox.take_kept(selected(message_id=1)).message_id, 1)
        self.assertEqual([mailbox.take_kept(selected()).message_id for _ in range(2)], [2, 1])
        self.assertIsNone(mailbox.take_kept(selected()))

    def test_a_waiter_for_kept_messages_takes_the_oldest_match_at_once(self):
        mailbox = Mailbox()
        for index, message_id in enumerate((1, 2, 2)):
            mailbox.keep(message(message_id=message_id, data=b"%d" % index))
        waiter = mailbox.waiter(selected(message_id=2), kept=True)
        self.assertEqual(waiter.result(0), message(message_id=2, data=b"1"))
        self.assertFalse(mailbox.claim(message(message_id=2, data=b"new")), "a served waiter takes no more")
        mailbox.forget(waiter)
        self.assertEqual([mailbox.take_kept(selected()).data for _ in range(2)], [b"0", b"2"])
        self.assertFalse(mailbox.waiter(selected(message_id=3), kept=True).done())

    def test_a_wait_returns_the_message_or_none_and_polls_meanwhile(self):
        mailbox = Mailbox()
        waiter = mailbox.waiter(selected())
        polls = []

        def poll(seconds):
            polls.append(seconds)
            if len(polls) == 2:
                mailbox.claim(message())

        self.assertEqual(mailbox.wait(waiter, 5.0, poll=poll), message())
        self.assertEqual(len(polls), 2)
        self.assertTrue(all(0 < seconds <= 0.05 for seconds in polls))
        mailbox.forget(waiter)
        self.assertIsNone(mailbox.wait(mailbox.waiter(selected()), 0.01))

    def test_a_message_from_another_thread_ends_the_wait(self):
        mailbox = Mailbox()
        waiter = mailbox.waiter(selected())
        threading.Timer(0.05, mailbox.claim, (message(),)).start()
        self.assertEqual(mailbox.wait(waiter, 10.0), message())

    def test_a_failed_line_ends_every_wait_with_its_error(self):
        mailbox = Mailbox()
        waiter = mailbox.waiter(selected())
        mailbox.fail(OSError(5, "hang-up"))
        with self.assertRaises(OSError):
            mailbox.wait(waiter, 10.0)
        self.assertIsInstance(waiter, concurrent.futures.Future)


if __name__ == "__main__":
    unittest.main()
