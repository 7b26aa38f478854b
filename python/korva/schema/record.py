"""Classes of named values, built at load time: the messages of a schema and
the bits of a bits field. An instance is built with keywords (each name given
or taken from its default), compares equal to one of the same class with
equal values, and shows itself as `name(a=1, b=Mode.run)`."""

import enum

from ..errors import EncodeError

__all__ = ["Record", "record_class"]


class Record:
    """Base of the built classes. Each has `_names` (in order), `_defaults`
    (name -> a function giving a fresh default, or None when the value must
    be given), `_normal` (name -> what a given value becomes: an enum
    member for its name, ...), `_path` and `_kind` (for errors)."""

    __slots__ = ()
    _names = ()
    _defaults = {}
    _normal = {}
    _path = ""
    _kind = "field"

    def __init__(self, **values):
        for name in values:
            if name not in self._defaults:
                raise EncodeError("%s.%s" % (self._path, name), "no such %s; %ss are %s"
                                  % (self._kind, self._kind, ", ".join(self._names)))
        for name, default in self._defaults.items():
            if name in values:
                normal = self._normal.get(name)
                setattr(self, name, values[name] if normal is None else normal(values[name]))
            elif default is None:
                raise EncodeError("%s.%s" % (self._path, name), "missing, and it has no default")
            else:
                setattr(self, name, default())

    def fields(self):
        """The values by name, in wire order."""
        return {name: getattr(self, name) for name in self._names}

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return all(getattr(self, name) == getattr(other, name) for name in self._names)

    __hash__ = None  # values can change

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, ", ".join(
            "%s=%s" % (name, _shown(getattr(self, name))) for name in self._names))


def _shown(value):
    if isinstance(value, enum.Enum):
        return "%s.%s" % (type(value).__name__, value.name)
    if isinstance(value, list):
        return "[%s]" % ", ".join(_shown(item) for item in value)
    return repr(value)


def record_class(class_name, path, names, defaults, base=Record, namespace=None):
    """A `base` subclass with a slot per name (plus any `namespace` slots);
    `defaults` maps every name to a function giving its default, or None
    when it must be given."""
    body = dict(namespace or {})
    body.update(__slots__=tuple(names) + tuple(body.pop("__slots__", ())), _names=tuple(names),
                _defaults=dict(defaults), _path=path)
    return type(class_name, (base,), body)
