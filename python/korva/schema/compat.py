"""Whether a new schema still speaks to peers built from an old one.

One rule: the new schema restricted to the old revision must equal the old
schema (`doc` aside). A schema at the same revision must equal the old one
outright. `check(new, old)` lists each difference on one line, starting with
the element's path: "status.cells: count 4 -> 5". Additions are allowed only
as new messages, fields appended at the end of a message, new enum values and
new bits, each with `since` after the old revision (the loader already keeps
`since` from decreasing along a message, and a variable field last).
"""

from dataclasses import fields as attributes

from .canonical import restrict
from .model import Enum, EnumValue, Field, Message

__all__ = ["check"]

_IGNORED = {"name", "doc", "shift", "fields", "bits", "values"}  # names and element lists: compared apart


def check(new, old):
    """The breaking changes from `old` to `new` (both `Schema`), one line
    each; empty when `new` is compatible."""
    if new.revision < old.revision:
        return ["revision: %d is older than %d" % (new.revision, old.revision)]
    restricted = restrict(new, old.revision)
    changes = ["%s: %s -> %s" % (key, getattr(old, key), getattr(new, key))
               for key in ("name", "format") if getattr(new, key) != getattr(old, key)]
    changes += _by_name("enums", restricted.enums, old.enums)
    changes += _by_name("", restricted.messages, old.messages)
    if changes and new.revision == old.revision:
        changes.insert(0, "revision: still %d, yet the schema changed" % new.revision)
    return changes


def _changes(path, new, old):
    """Differences between two elements of the same kind at the same place."""
    here = _join(path, old.name)
    changes = [] if new.name == old.name else ["%s: renamed to %s" % (here, new.name)]
    for attribute in attributes(old):
        key = attribute.name
        if key not in _IGNORED and getattr(new, key) != getattr(old, key):
            changes.append("%s: %s %s -> %s" % (here, key, _text(getattr(old, key)), _text(getattr(new, key))))
    for key, match in _ELEMENTS.get(type(old), ()):
        changes += match(here, getattr(new, key), getattr(old, key))
    return changes


def _by_name(path, new_items, old_items):
    """Elements matched by name (messages, enums, enum values); an old one
    missing whose place a new one took was renamed."""
    changes = []
    new_names = {item.name: item for item in new_items}
    old_names = {item.name for item in old_items}
    for item in old_items:
        if item.name in new_names:
            changes += _changes(path, new_names[item.name], item)
            continue
        successor = next((other for other in new_items if other.name not in old_names and _place(other) ==
                          _place(item)), None)
        if successor is None:
            changes.append("%s: removed" % _join(path, item.name))
        else:
            changes.append("%s: renamed to %s" % (_join(path, item.name), successor.name))
            old_names.add(successor.name)
    for item in new_items:
        if item.name not in old_names:
            changes.append("%s: added without a later since (%d)" % (_join(path, item.name), item.since))
    return changes


def _in_order(path, new_items, old_items):
    """Elements on the wire (fields, bits), matched by position."""
    changes = []
    for index, item in enumerate(old_items):
        if index >= len(new_items):
            changes.append("%s: removed" % _join(path, item.name))
        elif new_items[index].name != item.name and item.name in (other.name for other in new_items):
            moved_to = next(i for i, other in enumerate(new_items) if other.name == item.name)
            changes.append("%s: moved from position %d to %d" % (_join(path, item.name), index + 1, moved_to + 1))
        else:
            changes += _changes(path, new_items[index], item)
    for item in new_items[len(old_items):]:
        changes.append("%s: added without a later since (%d)" % (_join(path, item.name), item.since))
    return changes


def _place(item):
    """What identifies an element apart from its name."""
    if isinstance(item, Message):
        return (item.id, item.type)
    if isinstance(item, EnumValue):
        return item.value
    return None


def _join(path, name):
    return "%s.%s" % (path, name) if path else name


def _text(value):
    return "none" if value is None else str(value).lower() if isinstance(value, bool) else str(value)


_ELEMENTS = {
    Message: (("fields", _in_order),),
    Field: (("bits", _in_order),),
    Enum: (("values", _by_name),),
}
