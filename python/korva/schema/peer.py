"""What a peer's fingerprint says about the schema it was built from.

A device tells its schema through an ordinary message of that schema: a
request without fields whose reply begins with `fingerprint` (u32, the
CRC-32 of its canonical form) and `revision` (u16). No keyword marks it;
the first such request by id is the schema's fingerprint request. The
host restricts its own schema to the peer's revision and compares
fingerprints; a schema file the peer may have been built from (`known`)
turns a mismatch into the breaking changes by path, named as `korva schema
check` names them: from the older revision of the two to the newer.
"""

import struct
import typing

from ..errors import DecodeError
from .canonical import fingerprint, restrict
from .compat import check

__all__ = ["SAME", "COMPATIBLE", "NEWER", "INCOMPATIBLE", "Verdict", "fingerprint_request", "told", "judge"]

SAME, COMPATIBLE, NEWER, INCOMPATIBLE = "same", "compatible", "newer", "incompatible"
_TOLD = (("fingerprint", "u32"), ("revision", "u16"))
# The reply's leading fields alone: a peer with another schema still tells them.
_TOLD_LAYOUT = struct.Struct("<IH")


class Verdict(typing.NamedTuple):
    """`kind` (SAME, COMPATIBLE, INCOMPATIBLE, or NEWER for a peer at a
    later revision that no known schema explains), one line of `text`, and
    the breaking changes by path when a known schema explains the peer's
    fingerprint."""

    kind: str
    text: str
    changes: typing.Tuple[str, ...] = ()


def fingerprint_request(schema):
    """The fingerprint request of `schema` (a `model.Schema`), or None when
    it has none."""
    for message in sorted(schema.messages, key=lambda item: item.id):
        if message.type != "request" or message.fields or message.reply is None:
            continue
        reply = schema.message(message.reply)
        leading = tuple((field.name, field.type) for field in reply.fields[:len(_TOLD)]
                        if field.count is None and field.since == reply.since)
        if leading == _TOLD:
            return message
    return None


def told(body):
    """(fingerprint as 8 hex digits, revision) from a fingerprint reply's
    body; DecodeError when it is too short to hold them."""
    if len(body) < _TOLD_LAYOUT.size:
        raise DecodeError("fingerprint reply", "%d bytes, fewer than the %d of fingerprint and revision"
                          % (len(body), _TOLD_LAYOUT.size), "short")
    value, revision = _TOLD_LAYOUT.unpack_from(body)
    return "%08x" % value, revision


def judge(schema, peer_fingerprint, peer_revision, known=()):
    """The Verdict on a peer that told `peer_fingerprint` (8 hex digits)
    and `peer_revision`, for this `schema`; `known` are schemas the peer
    may have been built from."""
    own = schema.revision
    if 1 <= peer_revision <= own:
        expected = fingerprint(restrict(schema, peer_revision))
        if peer_fingerprint == expected:
            if peer_revision == own:
                return Verdict(SAME, "same schema (%s revision %d, fingerprint %s)" % (schema.name, own, expected))
            return Verdict(COMPATIBLE, "compatible at revision %d (%s is at %d)" % (peer_revision, schema.name, own))
    peer = _known_peer(peer_fingerprint, peer_revision, known)
    if peer is None:
        return _unexplained(schema, peer_fingerprint, peer_revision)
    changes = tuple(check(schema, peer) if peer_revision <= own else check(peer, schema))
    source = "%s's at revision %d" % (peer.source or peer.name, peer_revision)
    if changes:
        return Verdict(INCOMPATIBLE, "incompatible: fingerprint %s is %s" % (peer_fingerprint, source), changes)
    return Verdict(COMPATIBLE, "compatible: fingerprint %s is %s, newer than %s's %d"
                   % (peer_fingerprint, source, schema.name, own))


def _known_peer(peer_fingerprint, peer_revision, known):
    """The known schema, at the peer's revision, whose fingerprint it told."""
    for candidate in known:
        if 1 <= peer_revision <= candidate.revision:
            restricted = restrict(candidate, peer_revision)
            if fingerprint(restricted) == peer_fingerprint:
                return restricted
    return None


def _unexplained(schema, peer_fingerprint, peer_revision):
    if peer_revision > schema.revision:
        return Verdict(NEWER, "newer: revision %d, after %s's %d; not checked, its later fields show as extra"
                       % (peer_revision, schema.name, schema.revision))
    if peer_revision < 1:
        return Verdict(INCOMPATIBLE, "incompatible: revision %d is no revision" % peer_revision)
    return Verdict(INCOMPATIBLE, "incompatible: fingerprint %s at revision %d is not %s's at %d (%s)" % (
        peer_fingerprint, peer_revision, schema.name, peer_revision,
        fingerprint(restrict(schema, peer_revision))))
