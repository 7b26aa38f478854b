"""Asking and waiting: the one retry and wait logic of threaded and asyncio
nodes, and the texts of their timeouts.

A caller's waiter is in the node's mailbox before its request goes out or
the kept messages are looked at, so whatever arrives meanwhile goes to it.
A message handed to the waiter just as its wait ran out is still the
caller's: the outcome is read from the waiter once it is forgotten, so no
reply is taken and then dropped.

Each function takes the node's `send()` and `wait(waiter, timeout)` (which
returns None when the time is up); the asyncio twins take coroutine
functions and differ only in awaiting them.
"""

import contextlib

from .errors import KorvaTimeout
from .messages import reply_to

__all__ = ["no_message", "no_reply", "receive", "receive_async", "request", "request_async"]


def no_reply(receiver_id, message_id, attempts, timeout):
    """The KorvaTimeout of a request whose `attempts` all went unanswered."""
    return KorvaTimeout("no reply from node %d to request %d after %d attempt%s of %g s"
                        % (receiver_id, message_id, attempts, "" if attempts == 1 else "s", timeout))


def no_message(timeout):
    """The KorvaTimeout of a `receive` that nothing matched."""
    return KorvaTimeout("no matching message within %g s" % timeout)


def request(mailbox, send, wait, receiver_id, message_id, timeout, retries):
    """The reply to a request to `receiver_id` with `message_id` (see
    `korva.messages.reply_to`): `send()` goes out up to `1 + retries` times,
    each attempt waiting `timeout` seconds; `no_reply` after the last."""
    with _waiting(mailbox, reply_to(receiver_id, message_id)) as waiter:
        for _ in range(1 + retries):
            send()
            if wait(waiter, timeout) is not None:
                break
    return _outcome(waiter, lambda: no_reply(receiver_id, message_id, 1 + retries, timeout))


async def request_async(mailbox, send, wait, receiver_id, message_id, timeout, retries):
    """`request` on an event loop."""
    with _waiting(mailbox, reply_to(receiver_id, message_id)) as waiter:
        for _ in range(1 + retries):
            await send()
            if await wait(waiter, timeout) is not None:
                break
    return _outcome(waiter, lambda: no_reply(receiver_id, message_id, 1 + retries, timeout))


def receive(mailbox, wait, matches, timeout):
    """The oldest kept message that `matches`, else the next one to arrive
    within `timeout` seconds; `no_message` if none does."""
    with _waiting(mailbox, matches, kept=True) as waiter:
        if not waiter.done():
            wait(waiter, timeout)
    return _outcome(waiter, lambda: no_message(timeout))


async def receive_async(mailbox, wait, matches, timeout):
    """`receive` on an event loop."""
    with _waiting(mailbox, matches, kept=True) as waiter:
        if not waiter.done():
            await wait(waiter, timeout)
    return _outcome(waiter, lambda: no_message(timeout))


@contextlib.contextmanager
def _waiting(mailbox, matches, kept=False):
    waiter = mailbox.waiter(matches, kept)
    try:
        yield waiter
    finally:
        mailbox.forget(waiter)


def _outcome(waiter, timed_out):
    """The message `waiter` was handed (its error, for a failed line), or
    the error `timed_out()` gives."""
    if not waiter.done():
        raise timed_out()
    return waiter.result()
